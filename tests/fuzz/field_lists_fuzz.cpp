// Fuzzes the semicolon list operations with arbitrary bytes. The input is a
// names text and a kinds text separated by the first NUL byte (no NUL: the
// kinds text is empty); the names text also serves as list and as KeyField.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/field_lists.h"
#include "fuzz_check.h"
#include "text/case_fold.h"

namespace {

using slotsync::dictionary::BuildKeyList;
using slotsync::dictionary::ColumnPair;
using slotsync::dictionary::ColumnPairList;
using slotsync::dictionary::PairItems;
using slotsync::dictionary::SplitItems;

// Comparing every entry with every other is quadratic; beyond this many
// entries only the per-entry checks run.
constexpr std::size_t kPairwiseLimit = 128;

void CheckSplit(std::string_view list, const std::vector<std::string>& items) {
  FUZZ_CHECK(items.size() == static_cast<std::size_t>(std::count(list.begin(), list.end(), ';')));
  std::string joined;
  for (const auto& item : items) {
    FUZZ_CHECK(item.find(';') == std::string::npos);
    joined += item;
    joined += ';';
  }
  // The items, each followed by ";", give back the text up to and including
  // its last ";"; whatever follows is dropped.
  const std::size_t last = list.rfind(';');
  FUZZ_CHECK(joined == (last == std::string_view::npos ? "" : list.substr(0, last + 1)));
}

void CheckPairs(const std::vector<std::string>& names, std::string_view kindsText,
                const std::vector<ColumnPair>& pairs) {
  const std::vector<std::string> kinds = SplitItems(kindsText);
  FUZZ_CHECK(pairs.size() == names.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    FUZZ_CHECK(pairs[i].name == names[i]);
    FUZZ_CHECK(pairs[i].kind == (i < kinds.size() ? kinds[i] : std::string()));
  }
}

void CheckKeyList(std::string_view keyField, const std::vector<std::string>& items,
                  const std::string& keyList) {
  if (keyField.find(';') == std::string_view::npos) {
    FUZZ_CHECK(keyList == keyField);
    return;
  }
  // Leading empty items add nothing; from the first non-empty item on, every
  // item is joined with ",".
  std::size_t first = 0;
  while (first < items.size() && items[first].empty()) ++first;
  std::string expected;
  for (std::size_t i = first; i < items.size(); ++i) {
    if (i > first) expected += ',';
    expected += items[i];
  }
  FUZZ_CHECK(keyList == expected);
  // No comma of its own ever leads the list: a leading "," can only be the
  // first character of the first item that lands in it.
  if (!keyList.empty() && keyList.front() == ',') FUZZ_CHECK(items[first].front() == ',');
}

void CheckColumnPairList(const std::vector<ColumnPair>& pairs, const ColumnPairList& list) {
  const auto& texts = list.Texts();
  const std::vector<ColumnPair> entries = list.Entries();
  FUZZ_CHECK(texts.size() == pairs.size());
  FUZZ_CHECK(entries.size() == pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    FUZZ_CHECK(texts[i] == pairs[i].name + "=" + pairs[i].kind);
    FUZZ_CHECK(entries[i].name == pairs[i].name.substr(0, pairs[i].name.find('=')));
  }
  if (entries.size() > kPairwiseLimit) return;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // The first entry carrying a name keeps the kind it was stored with
    // (re-read after the first "="); every later entry with a name equal
    // apart from ASCII letter case takes that same kind.
    std::size_t first = 0;
    while (!slotsync::text::EqualsIgnoringAsciiCase(entries[first].name, entries[i].name)) ++first;
    FUZZ_CHECK(first <= i);
    FUZZ_CHECK(entries[i].kind == texts[first].substr(texts[first].find('=') + 1));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t separator = input.find('\0');
  const std::string_view names = input.substr(0, separator);
  const std::string_view kinds =
      separator == std::string_view::npos ? std::string_view() : input.substr(separator + 1);

  const std::vector<std::string> items = SplitItems(names);
  CheckSplit(names, items);
  CheckSplit(kinds, SplitItems(kinds));

  const std::vector<ColumnPair> pairs = PairItems(names, kinds);
  CheckPairs(items, kinds, pairs);

  CheckKeyList(names, items, BuildKeyList(names));

  CheckColumnPairList(pairs, ColumnPairList(names, kinds));
  return 0;
}
