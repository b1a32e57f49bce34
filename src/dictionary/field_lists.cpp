#include "dictionary/field_lists.h"

#include "sql/statement_template.h"
#include "text/case_fold.h"

namespace slotsync::dictionary {
namespace {

// One step of the item walk: the text before the first ";" becomes `item`
// and `rest` moves past that ";". Returns false, leaving both untouched,
// when `rest` holds no ";" any more; what is left then is not an item.
bool TakeItem(std::string_view& rest, std::string_view& item) {
  const std::size_t end = rest.find(';');
  if (end == std::string_view::npos) return false;
  item = rest.substr(0, end);
  rest.remove_prefix(end + 1);
  return true;
}

// Name and kind of a stored "name=kind" text, split at its first "=". A name
// that itself holds "=" is thereby cut short and the rest of it joins the
// kind: the stored text cannot tell the two apart.
std::string_view NameOf(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

std::string_view KindOf(std::string_view entry) {
  const std::size_t equals = entry.find('=');
  return equals == std::string_view::npos ? std::string_view() : entry.substr(equals + 1);
}

}  // namespace

std::vector<std::string> SplitItems(std::string_view list) {
  std::vector<std::string> items;
  for (std::string_view item; TakeItem(list, item);) items.emplace_back(item);
  return items;
}

std::vector<ColumnPair> PairItems(std::string_view names, std::string_view kinds) {
  std::vector<ColumnPair> pairs;
  for (std::string_view name; TakeItem(names, name);) {
    std::string_view kind;
    // Once the kinds run out, TakeItem leaves `kind` empty for every later name.
    TakeItem(kinds, kind);
    pairs.push_back({std::string(name), std::string(kind)});
  }
  return pairs;
}

std::string BuildKeyList(std::string_view keyField) {
  if (keyField.find(';') == std::string_view::npos) return std::string(keyField);
  std::string keyList;
  for (std::string_view item; TakeItem(keyField, item);) {
    // The test is on the list built so far, not on the item's position: empty
    // leading items leave it empty, and the first real item gets no comma.
    if (!keyList.empty()) keyList += ',';
    keyList += item;
  }
  return keyList;
}

ColumnPairList::ColumnPairList(std::string_view createField, std::string_view fieldKind) {
  for (const ColumnPair& pair : PairItems(createField, fieldKind)) {
    texts_.push_back(sql::Format("%s=%s", pair.name, pair.kind));
  }
}

std::vector<ColumnPair> ColumnPairList::Entries() const {
  std::vector<ColumnPair> entries;
  entries.reserve(texts_.size());
  for (const std::string& text : texts_) {
    const std::string_view name = NameOf(text);
    // Names match without regard to the case of ASCII letters only. Letters
    // outside ASCII are compared byte for byte, and a GBK double-byte
    // character is never folded, not even when its trail byte has the value
    // of an ASCII letter: folding that byte would turn the character into a
    // different one and wrongly give two Chinese names the same kind. The
    // server's own collation may match wider (full-width letters, accents),
    // but a name it merges that we keep apart only makes the create statement
    // fail on a duplicate column, while the opposite would silently hand a
    // column another column's type.
    for (const std::string& candidate : texts_) {
      if (text::EqualsIgnoringAsciiCase(NameOf(candidate), name)) {
        entries.push_back({std::string(name), std::string(KindOf(candidate))});
        break;
      }
    }
  }
  return entries;
}

}  // namespace slotsync::dictionary
