#include "dictionary/dict_lookup.h"

#include <string_view>

#include "sql/statement_template.h"

namespace slotsync::dictionary {
namespace {

// First column of the first row as text, or empty text when the statement
// returns no row. The statement object lives on the stack, so it is released
// whether the query succeeds or raises.
std::string FirstText(sql::SqlAccess& access, std::string_view pattern, std::int32_t tableTag) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(sql::Format(pattern, tableTag));
  query.Open();
  if (query.Empty()) return std::string();
  return query.Field(0).AsString();
}

}  // namespace

std::string GetDictTableName(sql::SqlAccess& access, std::int32_t tableTag) {
  return FirstText(access, "Select TableName From DataDictionary where TableTag=%d", tableTag);
}

std::string GetDictFieldName(sql::SqlAccess& access, std::int32_t tableTag) {
  return FirstText(access, "Select FieldName From DataDictionary where TableTag=%d", tableTag);
}

}  // namespace slotsync::dictionary
