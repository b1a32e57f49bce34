#include "rebuild/terminal_table.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/dict_lookup.h"
#include "dictionary/dictionary_guard.h"
#include "dictionary/field_lists.h"
#include "dictionary/size_slot_count.h"
#include "rebuild/findings.h"
#include "rebuild/rebuild_steps.h"
#include "rebuild/script_guards.h"
#include "rebuild/table_dependents.h"
#include "sql/quoting.h"
#include "sql/statement_template.h"
#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::rebuild {
namespace {

using dictionary::ColumnPair;

constexpr std::string_view kReportTypesQuery =
    "Select a.* From DataDictReportContent a,DataDictionary b Where a.TableID=b.TableID and "
    "b.TableTag=%d";

// The tables that carry plain size and value columns when they have no report
// content types. A table with types gets its columns per type instead,
// whether it is listed here or not.
constexpr std::int32_t kTerminalSizeTags[] = {101, 102, 111, 112, 113, 114,
                                              116, 123, 127, 128, 149};

// Everything the dictionary says about the table, as read.
struct TerminalDictionary {
  SModifyRow sModify;
  std::vector<std::string> reportTypes;  // in server order, duplicates kept
  std::string keyColumn;                 // DataDictionary.FieldName
  std::string dictTableName;             // DataDictionary.TableName
};

// One repetition of the size and value columns: per report content type the
// columns carry the type as a prefix ("T1_x_1", "T1_V"); the plain set of a
// table without types has none ("x_1", "V"). A type read as empty text is
// still a type, hence the optional.
struct GroupSet {
  std::optional<std::string> reportType;
  std::int32_t slotCount = 0;  // N, read for this set alone
};

// The columns of the new table, from the dictionary values already read.
struct TerminalLayout {
  std::int32_t tableTag = 0;
  std::string keyColumn;
  std::vector<ColumnPair> fixedColumns;
  std::vector<ColumnPair> valueColumns;  // empty when no group set is built
  std::vector<GroupSet> groupSets;
};

bool IsTerminalSizeTag(std::int32_t tableTag) {
  return std::find(std::begin(kTerminalSizeTags), std::end(kTerminalSizeTags), tableTag) !=
         std::end(kTerminalSizeTags);
}

std::vector<std::string> ReadReportTypes(sql::SqlAccess& access, std::int32_t tableTag) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(sql::Format(kReportTypesQuery, tableTag));
  query.Open();
  std::vector<std::string> types;
  // Type is looked up only on a row: a table without report content needs no
  // such column.
  for (; !query.End(); query.Next()) types.push_back(query.FieldByName("Type").AsString());
  return types;
}

TerminalDictionary ReadDictionary(sql::SqlAccess& access, std::int32_t tableTag) {
  TerminalDictionary dictionary;
  dictionary.sModify = ReadSModifyRow(access, tableTag, SModifyColumns::kTerminal);
  dictionary.reportTypes = ReadReportTypes(access, tableTag);
  dictionary.keyColumn = dictionary::GetDictFieldName(access, tableTag);
  dictionary.dictTableName = dictionary::GetDictTableName(access, tableTag);
  return dictionary;
}

std::vector<GroupSet> GroupSetsOf(std::int32_t tableTag, const std::vector<std::string>& types) {
  std::vector<GroupSet> sets;
  for (const std::string& type : types) sets.push_back({type, 0});
  if (sets.empty() && IsTerminalSizeTag(tableTag)) sets.push_back({std::nullopt, 0});
  return sets;
}

// Which columns the table will have. The slot counts are read later, once
// every text has passed its check.
TerminalLayout LayoutOf(std::int32_t tableTag, const TerminalDictionary& dictionary) {
  const SModifyRow& row = dictionary.sModify;
  TerminalLayout layout;
  layout.tableTag = tableTag;
  layout.keyColumn = dictionary.keyColumn;
  layout.fixedColumns = dictionary::PairItems(row.fixedField, row.fixedFieldKind);
  layout.groupSets = GroupSetsOf(tableTag, dictionary.reportTypes);
  // Without a group set CreateField and FieldKind play no part, so their
  // texts are neither used nor checked.
  if (!layout.groupSets.empty()) {
    layout.valueColumns = dictionary::ColumnPairList(row.createField, row.fieldKind).Entries();
  }
  return layout;
}

// Every dictionary text that goes into a statement, in the form it goes in:
// the value columns as read back from the ColumnPairList, so a kind that a
// case-insensitive duplicate never uses is not held against the table.
void CheckDictionaryTexts(const TerminalDictionary& dictionary, const TerminalLayout& layout) {
  const std::int32_t tag = layout.tableTag;
  dictionary::CheckTableName(tag, "S_Modify.TableName", dictionary.sModify.tableName);
  dictionary::CheckTableName(tag, "DataDictionary.TableName", dictionary.dictTableName);
  dictionary::CheckColumnName(tag, "DataDictionary.FieldName", layout.keyColumn);
  for (const ColumnPair& column : layout.fixedColumns) {
    dictionary::CheckColumnName(tag, "S_Modify.FixedField", column.name);
    dictionary::CheckColumnType(tag, "S_Modify.FixedFieldKind", column.kind);
  }
  for (const GroupSet& set : layout.groupSets) {
    if (set.reportType) {
      dictionary::CheckColumnName(tag, "DataDictReportContent.Type", *set.reportType);
    }
  }
  for (const ColumnPair& column : layout.valueColumns) {
    dictionary::CheckColumnName(tag, "S_Modify.CreateField", column.name);
    dictionary::CheckColumnType(tag, "S_Modify.FieldKind", column.kind);
  }
}

// N is read anew for every set, as the table's size columns have always been
// counted; nothing is read when the table has no size columns at all.
void ReadSlotCounts(sql::SqlAccess& access, std::vector<GroupSet>& groupSets) {
  for (GroupSet& set : groupSets) set.slotCount = dictionary::GetSizeSlotCount(access);
}

std::string_view ClosingText(std::int32_t tableTag) {
  switch (tableTag) {
    case 102:
      return ",Memo Varchar(100) Null ,CountFlag Bit Default 0,IDValue Varchar(50) Null)";
    case 111:
    case 112:
      return ",CountFlag Bit Default 0)";
    case 113:
    case 114:
      return ",CountFlag Bit Default 0,IDValue Varchar(50) Null)";
    default:
      return ")";
  }
}

// The identity key, TerminalName and the fixed columns, which come once,
// ahead of every group.
std::string LeadingColumns(const TerminalLayout& layout) {
  std::string columns =
      layout.keyColumn + " Int Identity(1,1) Not Null,TerminalName Varchar(40) Null ";
  for (const ColumnPair& column : layout.fixedColumns) {
    columns = sql::Format("%s,[%s] %s Null ", columns, column.name, column.kind);
  }
  return columns;
}

std::vector<std::string> SizeGroup(const GroupSet& set) {
  std::vector<std::string> columns;
  for (std::int32_t slot = 1; slot <= set.slotCount; ++slot) {
    columns.push_back(set.reportType
                          ? sql::Format("[%s_x_%d] Integer Null Default(0)", *set.reportType, slot)
                          : sql::Format("[x_%d] Integer Null Default(0)", slot));
  }
  return columns;
}

std::vector<std::string> ValueGroup(const GroupSet& set,
                                    const std::vector<ColumnPair>& valueColumns) {
  std::vector<std::string> columns;
  for (const ColumnPair& column : valueColumns) {
    columns.push_back(
        set.reportType
            ? sql::Format("[%s_%s] %s Null Default(0)", *set.reportType, column.name, column.kind)
            : sql::Format("[%s] %s Null Default(0)", column.name, column.kind));
  }
  return columns;
}

// A group goes in as "," followed by its columns joined by ",", which is the
// same text as each column with a "," of its own; an empty group adds
// nothing, so N = 0 or no value columns leave no stray comma behind.
void AppendGroup(CreateTableText& text, const std::vector<std::string>& columns) {
  for (const std::string& column : columns) text.Append(",").Append(column);
}

// The CREATE TABLE text with "%s" standing for the table name.
std::string BuildCreateTemplate(const TerminalLayout& layout) {
  CreateTableText text;
  text.Append("Create Table %s(").Append(LeadingColumns(layout));
  for (const GroupSet& set : layout.groupSets) {
    AppendGroup(text, SizeGroup(set));
    AppendGroup(text, ValueGroup(set, layout.valueColumns));
  }
  text.Append(ClosingText(layout.tableTag));
  return text.Narrow();
}

// Drop and create use the name S_Modify gives; the key and the index name the
// table as DataDictionary records it.
void RecreateTable(sql::SqlAccess& access, const TerminalDictionary& dictionary,
                   std::int32_t tableTag, const std::string& createTemplate,
                   const std::vector<Carry>& carries, const DependentsCarried& carried) {
  const std::string& tableName = dictionary.sModify.tableName;
  const std::string& dictTableName = dictionary.dictTableName;
  StatementRunner runner(access);
  runner.ExecuteIgnoringFailure(sql::Format("Drop Table %s", tableName), tableName);
  runner.Execute(sql::Format(createTemplate, tableName));
  runner.Execute(sql::Format(
      "Alter Table [%s] With NoCheck Add Constraint [PK_%s] Primary Key NonClustered ( [%s] ) On "
      "[Primary]",
      dictTableName, dictTableName, dictionary.keyColumn));
  runner.Execute(
      sql::Format("CREATE  INDEX [IX_%s_Terminal] ON [dbo].[%s]([TerminalName]) ON [PRIMARY] ",
                  dictTableName, dictTableName));
  CarryDependents(access, carries, carried);
  runner.ClearModifiedFlag(tableTag);
}

// What the old table holds beyond its columns, read just before the drop;
// the key and the index the rebuild makes itself are its own to make.
std::vector<Carry> PlanCarries(sql::SqlAccess& access, std::int32_t tableTag,
                               const TerminalDictionary& dictionary,
                               const std::string& createTemplate, Findings* findings) {
  const std::string& dictTableName = dictionary.dictTableName;
  const NewTableShape shape{ColumnsOf(createTemplate),
                            {"PK_" + dictTableName, "IX_" + dictTableName + "_Terminal"},
                            /*clusteredPrimaryKey=*/false};
  const TableDependents dependents = ReadTableDependents(access, dictionary.sModify.tableName);
  std::vector<Carry> carries{PlanCarry(dependents, shape, CarryScope::kEverything)};
  if (findings != nullptr) carries.front().stateGuard = DependentsGuard(tableTag, dependents);
  FlagCarries(findings, tableTag, carries);
  return carries;
}

void CheckKinds(Findings* findings, std::int32_t tableTag, const std::vector<ColumnPair>& columns,
                std::string_view names, std::string_view kinds, bool defaultAdded) {
  for (const ColumnPair& column : columns) {
    if (column.kind.empty()) {
      Flag(findings, tableTag,
           text::TrFormat("S_Modify.%s names %s, but S_Modify.%s gives it no type; add its type",
                          names, column.name, kinds));
    } else if (HasClause(column.kind, "NULL")) {
      Flag(findings, tableTag,
           text::TrFormat("S_Modify.%s gives %s the type '%s', which says Null or Not Null; the "
                          "table's definition adds Null itself, so remove it from the type",
                          kinds, column.name, column.kind));
    } else if (defaultAdded && HasClause(column.kind, "DEFAULT")) {
      Flag(findings, tableTag,
           text::TrFormat("S_Modify.%s gives %s the type '%s' with a default; the table's "
                          "definition adds Default(0) itself, and the server refuses a second one",
                          kinds, column.name, column.kind));
    }
  }
}

// Planning: what the rebuild would do to the table and what would stop it.
bool PlanTerminalTable(sql::SqlAccess& access, const TerminalDictionary& dictionary,
                       const TerminalLayout& layout, const std::string& createTemplate,
                       Findings* findings) {
  const std::int32_t tag = layout.tableTag;
  const std::string& table = dictionary.sModify.tableName;
  TablePlan& plan = findings->Current();
  plan.kind = TableKind::kPerTerminal;
  plan.tableName = table;
  if (!layout.groupSets.empty()) plan.slotsAfter = layout.groupSets.front().slotCount;
  if (!dictionary.sModify.found || table.empty()) {
    Flag(
        findings, tag,
        dictionary.sModify.found
            ? text::Tr("S_Modify.TableName is empty; fill in the name of the per-terminal table")
            : text::TrFormat("S_Modify has no row for TableTag %d; add it or clear the flag", tag));
    return false;
  }
  plan.emptied.emplace_back(table, CatalogRowCount(access, table));
  // Whoever can write S_Modify would otherwise choose which business table
  // the next run empties.
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(sql::Format("Select Object_ID(%s),Col_Length(%s,'TerminalName')",
                            sql::UnicodeLiteral(table), sql::UnicodeLiteral(table)));
  query.Open();
  if (!query.Empty() && !query.Field(0).IsNull() && query.Field(1).IsNull()) {
    Flag(findings, tag,
         text::TrFormat("%s (S_Modify.TableName) exists but has no TerminalName column: it is no "
                        "per-terminal work table, and the run would drop it and recreate it empty; "
                        "correct S_Modify.TableName or clear the table's flags",
                        table));
  }
  CheckKinds(findings, tag, layout.fixedColumns, "FixedField", "FixedFieldKind", false);
  CheckKinds(findings, tag, layout.valueColumns, "CreateField", "FieldKind", true);
  const std::vector<ColumnDefinition> columns = ColumnsOf(createTemplate);
  if (columns.size() > static_cast<std::size_t>(kMaxColumnsPerTable)) {
    Flag(findings, tag,
         text::TrFormat("the new %s would have %d columns, more than the %d a table can have",
                        table, columns.size(), kMaxColumnsPerTable));
  }
  std::string repeated;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (!text::EqualsIgnoringAsciiCase(columns[i].name, columns[j].name)) continue;
      repeated += (repeated.empty() ? "" : ", ") + columns[i].name;
      break;
    }
  }
  if (!repeated.empty()) {
    Flag(findings, tag,
         text::TrFormat("the new %s would have these columns twice, which the server refuses: %s "
                        "(check DataDictReportContent.Type and the field lists for repeats)",
                        table, repeated));
  }
  return true;
}

// In a script, before the table's drop: the database is still the one
// planned, or the script stops.
void RecordStateGuards(sql::SqlAccess& access, std::int32_t tableTag,
                       const TerminalDictionary& dictionary, std::int32_t slotCount,
                       const std::vector<Carry>& carries) {
  sql::WritePlan* plan = sql::PlanOf(access);
  if (plan == nullptr) return;
  const std::string& table = dictionary.sModify.tableName;
  for (std::string guard :
       {AlreadyAppliedGuard(tableTag, table),
        SModifyRowGuard(tableTag, dictionary.sModify, SModifyColumns::kTerminal),
        SlotCountGuard(tableTag, slotCount), TerminalTableGuard(tableTag, table)}) {
    plan->Record(std::move(guard), sql::PlannedStatement::Kind::kGuard);
  }
  for (const Carry& carry : carries) {
    if (!carry.stateGuard.empty()) {
      plan->Record(carry.stateGuard, sql::PlannedStatement::Kind::kGuard);
    }
  }
}

}  // namespace

void RebuildTerminalTables(sql::SqlAccess& access, std::int32_t tableTag, Findings* findings,
                           const DependentsCarried& carried) {
  const TerminalDictionary dictionary = ReadDictionary(access, tableTag);
  // A table refused for its dictionary is still named, as S_Modify names it.
  if (findings != nullptr) {
    findings->Current().kind = TableKind::kPerTerminal;
    findings->Current().tableName = dictionary.sModify.tableName;
  }
  TerminalLayout layout = LayoutOf(tableTag, dictionary);
  CheckDictionaryTexts(dictionary, layout);
  // A plan stops at a size count no table could hold before it builds a
  // statement of that size.
  std::int32_t slots = 0;
  if (findings != nullptr) {
    findings->Current().kind = TableKind::kPerTerminal;
    slots = dictionary::GetSizeSlotCount(access);
    if (!layout.groupSets.empty() && slots > kMaxColumnsPerTable) {
      Flag(findings, tableTag,
           text::TrFormat("%s would need %d size columns, more than the %d columns a table can "
                          "have",
                          dictionary.sModify.tableName, slots, kMaxColumnsPerTable));
      return;
    }
  }
  ReadSlotCounts(access, layout.groupSets);
  const std::string createTemplate = BuildCreateTemplate(layout);
  if (findings != nullptr &&
      !PlanTerminalTable(access, dictionary, layout, createTemplate, findings)) {
    return;
  }
  const std::vector<Carry> carries =
      PlanCarries(access, tableTag, dictionary, createTemplate, findings);
  if (findings != nullptr) RecordStateGuards(access, tableTag, dictionary, slots, carries);
  RecreateTable(access, dictionary, tableTag, createTemplate, carries, carried);
}

}  // namespace slotsync::rebuild
