#include "entry/table_rights.h"

#include <algorithm>
#include <exception>
#include <optional>

#include "dictionary/dictionary_guard.h"
#include "sql/sql_error.h"
#include "sql/statement_template.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

struct Right {
  const char* column;
  // The problem when the right is refused, translated where it is said;
  // both "%s" (if any) are the table.
  const char* missing;
};

// The answer of one rights read, or nothing when it failed; a lost link or a
// cancelled run is no right to pass over.
std::optional<std::vector<std::string>> Denied(sql::SqlAccess& access, const std::string& text,
                                               std::vector<Right> rights,
                                               std::vector<rebuild::Problem>& problems,
                                               std::int32_t tableTag) {
  std::vector<std::string> denied;
  try {
    sql::SqlQuery query(access, sql::kSizeConnectionName);
    query.SetText(text);
    query.Open();
    if (query.Empty()) return denied;
    for (const Right& right : rights) {
      const auto field = query.FindField(right.column);
      // NULL: no such object; only a plain 0 is a right refused.
      if (field && !field->IsNull() && field->AsString() == "0") {
        denied.push_back(text::Tr(right.missing));
      }
    }
  } catch (const sql::SqlError& e) {
    if (e.ConnectionLost() || e.SqlState() == "HY008") throw;
    problems.push_back({tableTag, rebuild::Severity::kNote,
                        text::TrFormat("the login's rights could not be read, so the run goes on "
                                       "without knowing them: %s",
                                       e.what())});
    return std::nullopt;
  }
  return denied;
}

bool NameFitsAStatement(const std::string& name) {
  return !name.empty() &&
         !dictionary::FindRefusal(dictionary::TextPlace::kTableName, name).has_value();
}

}  // namespace

std::string TableRightsSql(const std::string& table) {
  return sql::Format(
      "Select HAS_PERMS_BY_NAME('%s','OBJECT','SELECT') As CanSelect,HAS_PERMS_BY_NAME('%s',"
      "'OBJECT','ALTER') As CanAlter",
      table, table);
}

std::vector<rebuild::Problem> MissingTableRights(sql::SqlAccess& access,
                                                 const std::vector<rebuild::TablePlan>& tables) {
  std::vector<rebuild::Problem> problems;
  const bool copies = std::any_of(tables.begin(), tables.end(), [](const auto& table) {
    return table.kind == rebuild::TableKind::kDetail;
  });
  if (copies) {
    const auto denied = Denied(
        access, kNewTableRightsSql,
        {{"CanSelect",
          N_("the login may not SELECT (the run counts the rows it copied into dbo.Tmp_<table>) "
             "on the tables it creates in dbo; grant it that right on schema dbo")},
         {"CanInsert",
          N_("the login may not INSERT (the run copies each detail table into dbo.Tmp_<table>) on "
             "the tables it creates in dbo; grant it that right on schema dbo")},
         {"CanUpdate",
          N_("the login may not UPDATE (the run extends the size texts of each rebuilt detail "
             "table) on the tables it creates in dbo; grant it that right on schema dbo")}},
        problems, 0);
    for (const std::string& right : denied.value_or(std::vector<std::string>{})) {
      problems.push_back({0, rebuild::Severity::kRefusal, right});
    }
  }
  for (const rebuild::TablePlan& table : tables) {
    if (table.kind == rebuild::TableKind::kNothingToDo || !NameFitsAStatement(table.tableName))
      continue;
    std::vector<Right> rights = {
        {"CanAlter",
         N_("the login may not ALTER %s, which the run drops and replaces; grant it that right on "
            "dbo.%s")}};
    if (table.kind == rebuild::TableKind::kDetail) {
      rights.insert(rights.begin(),
                    {"CanSelect", N_("the login may not SELECT from %s, which the run copies; "
                                     "grant it that right on dbo.%s")});
    }
    const auto denied =
        Denied(access, TableRightsSql(table.tableName), rights, problems, table.tableTag);
    for (const std::string& right : denied.value_or(std::vector<std::string>{})) {
      problems.push_back({table.tableTag, rebuild::Severity::kRefusal,
                          text::Format(right, table.tableName, table.tableName)});
    }
  }
  return problems;
}

}  // namespace slotsync::entry
