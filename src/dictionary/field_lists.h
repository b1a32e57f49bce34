#pragma once

// The semicolon lists of S_Modify (KeyField, CreateField, FieldKind,
// FixedField, FixedFieldKind) and the ways the rebuilders read them.
//
// A list holds its items each followed by ";": "A;B;" holds A and B. Items
// are taken as they stand (blanks kept, no quoting), two ";" in a row enclose
// an empty item, and whatever follows the last ";" is not an item, so a text
// without ";" holds nothing. Every operation here accepts any text and never
// fails: a dictionary that does not fit shows up later, at the server, in the
// statements built from it.

#include <string>
#include <string_view>
#include <vector>

namespace slotsync::dictionary {

// One column as a names list and its kinds list describe it.
struct ColumnPair {
  std::string name;
  std::string kind;  // the server column type, e.g. "Varchar(20)"; may be empty

  friend bool operator==(const ColumnPair&, const ColumnPair&) = default;
};

// The items of a list, in order.
std::vector<std::string> SplitItems(std::string_view list);

// One pair per item of `names`, in order. The i-th kind goes with the i-th
// name; once `kinds` has no item left the remaining names get an empty kind,
// and kinds beyond the last name are ignored.
std::vector<ColumnPair> PairItems(std::string_view names, std::string_view kinds);

// The key columns of KeyField joined by ",". A KeyField without any ";" is a
// single key column and is returned unchanged, even when empty. Otherwise the
// items are joined, with no "," before the first item that lands in the list
// (leading empty items add nothing), so ";A;" gives "A" and "A;;B;" "A,,B".
std::string BuildKeyList(std::string_view keyField);

// The value columns of a per-terminal table, built from CreateField and
// FieldKind. Each column is kept as the text name + "=" + kind and read back
// from that text: the name is what stands before the first "=", and the kind
// is the one of the first entry whose name matches without regard to letter
// case, so two names that differ only in case both take the first one's kind.
class ColumnPairList {
 public:
  ColumnPairList(std::string_view createField, std::string_view fieldKind);

  // The stored "name=kind" texts, in order.
  const std::vector<std::string>& Texts() const { return texts_; }
  // The columns as read back, one per stored text, in order.
  std::vector<ColumnPair> Entries() const;

 private:
  std::vector<std::string> texts_;
};

}  // namespace slotsync::dictionary
