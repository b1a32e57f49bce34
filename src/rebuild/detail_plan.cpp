#include "rebuild/detail_plan.h"

#include <algorithm>

#include "rebuild/column_compare.h"
#include "rebuild/rebuild_steps.h"
#include "sql/statement_template.h"
#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::rebuild {

void CheckNewDetailTable(sql::SqlAccess& access, Findings& findings, std::int32_t tableTag,
                         const std::string& tableName, const DetailLayout& layout,
                         const std::vector<std::string>& copyColumns,
                         const std::vector<std::pair<std::string, std::int32_t>>& oldSlotColumns) {
  TablePlan& plan = findings.Current();
  for (const auto& value : layout.values) {
    if (value.name == "BoxQty") continue;
    if (value.kind.empty()) {
      Flag(&findings, tableTag,
           text::TrFormat("S_Modify.CreateField names %s, but S_Modify.FieldKind gives it no "
                          "type; add its type to FieldKind",
                          value.name));
    } else if (HasClause(value.kind, "NULL")) {
      Flag(&findings, tableTag,
           text::TrFormat("S_Modify.FieldKind gives %s the type '%s', which says Null or Not "
                          "Null; the table's definition adds Null itself, so remove it from the "
                          "type",
                          value.name, value.kind));
    }
  }
  const std::string filled =
      sql::Format(BuildDetailTemplate(layout), tableName, SecondPlaceholderText(tableTag));
  const std::vector<ColumnDefinition> columns = ColumnsOf(filled);
  if (columns.size() > static_cast<std::size_t>(kMaxColumnsPerTable)) {
    Flag(&findings, tableTag,
         text::TrFormat("the new %s would have %d columns, more than the %d a table can have",
                        tableName, columns.size(), kMaxColumnsPerTable));
  }
  const auto find = [&columns](const std::string& name) {
    return std::find_if(columns.begin(), columns.end(), [&](const ColumnDefinition& c) {
      return text::EqualsIgnoringAsciiCase(c.name, name);
    });
  };
  std::vector<std::string> lacking;
  for (const std::string& name : copyColumns) {
    if (find(name) == columns.end()) lacking.push_back(name);
  }
  for (const auto& [name, slot] : oldSlotColumns) {
    if (slot > layout.slotCount) plan.columnsDropped.push_back(name);
    plan.slotsNow = std::max(plan.slotsNow, slot);
  }
  plan.columnsDropped.insert(plan.columnsDropped.end(), lacking.begin(), lacking.end());
  for (const ColumnDefinition& column : columns) {
    const bool old =
        std::any_of(
            copyColumns.begin(), copyColumns.end(),
            [&](const std::string& n) { return text::EqualsIgnoringAsciiCase(n, column.name); }) ||
        std::any_of(oldSlotColumns.begin(), oldSlotColumns.end(), [&](const auto& slot) {
          return text::EqualsIgnoringAsciiCase(slot.first, column.name);
        });
    if (!old) plan.columnsAdded.push_back(column.name);
  }
  if (!lacking.empty()) {
    std::string names;
    for (const std::string& name : lacking) names += (names.empty() ? "" : ", ") + name;
    Flag(&findings, tableTag,
         text::TrFormat("%s has columns the new table lacks (%s): the copy would fail; add them "
                        "to S_Modify.CreateField with their types, or drop them from the table",
                        tableName, names));
  }
  CheckValuesFit(access, &findings, tableTag, tableName, columns);
}

}  // namespace slotsync::rebuild
