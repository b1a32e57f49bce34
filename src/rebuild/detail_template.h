#pragma once

// The CREATE TABLE template of a detail table and its companions.

#include <cstdint>
#include <string>
#include <vector>

#include "dictionary/field_lists.h"

namespace slotsync::rebuild {

// What the template is made of, read from the dictionary and the server.
struct DetailLayout {
  std::int32_t tableTag = 0;
  std::string keyList;
  std::vector<std::string> carriedColumns;     // names lent by the dictionary table
  std::int32_t slotCount = 0;                  // N
  std::vector<dictionary::ColumnPair> values;  // CreateField with FieldKind
};

// The whole CREATE TABLE text with two "%s": the table name, then the
// TableTag's extra columns (SecondPlaceholderText). Assembled as 16-bit
// text and narrowed back to GBK.
std::string BuildDetailTemplate(const DetailLayout& layout);

// The columns a few detail tables carry besides their dictionary columns.
std::string SecondPlaceholderText(std::int32_t tableTag);

// TableTags 21 and 29 carry the nine free columns Field1..Field9.
constexpr bool HasFreeFields(std::int32_t tableTag) {
  return tableTag == 21 || tableTag == 29;
}

}  // namespace slotsync::rebuild
