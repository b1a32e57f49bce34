#pragma once

// Whole tables as a database describes them, for the rebuild tests: each
// test starts from the default and changes what it needs.

#include <algorithm>

#include "entry/space_check.h"
#include "rebuild/column_compare.h"
#include "rebuild/detail_table.h"
#include "rebuild/online_detail.h"
#include "rebuild/table_dependents.h"
#include "run_fixture.h"

namespace slotsync::testing {

// A detail table as a database holds it; each test changes what it needs.
// What the catalog says a table holds beyond its columns, one row per
// dependent: Kind, Name, Item, Number, Flags, Ordinal, Body, Gbk.
using DependentRows = std::vector<std::vector<sql::Value>>;

inline void ScriptDependents(Script& script,
                             const std::vector<std::pair<std::string, DependentRows>>& tables) {
  for (const auto& [table, rows] : tables) {
    script.Answer(
        rebuild::DependentsQuery(table),
        Rows({"Kind", "Name", "Item", "Number", "Flags", "Ordinal", "Body", "Gbk"}, rows));
  }
}

// One column of an old table as the read of its properties answers it:
// name, type, declared type, max_length, precision, scale, nullable,
// collation and its code page, identity with seed, increment and last
// value, computed with its formula, sparse, rowguidcol, masked, and the
// database's collation with its code page.
inline std::vector<sql::Value> OldColumn(const std::string& name, const std::string& type,
                                         const std::string& maxLength, const std::string& precision,
                                         const std::string& scale, bool nullable = true,
                                         sql::Value collation = std::nullopt) {
  const sql::Value codePage = collation ? "936" : "0";
  return {name,
          type,
          type,
          maxLength,
          precision,
          scale,
          nullable ? "1" : "0",
          collation,
          codePage,
          "0",
          std::nullopt,
          std::nullopt,
          std::nullopt,
          "0",
          std::nullopt,
          "0",
          "0",
          "0",
          "Chinese_PRC_CI_AS",
          "936"};
}

// How an online run copies the scenario's StockDetail.
inline rebuild::OnlineCopy StockDetailCopy() {
  rebuild::OnlineCopy copy;
  copy.table = "StockDetail";
  copy.key = "DetailID";
  copy.columns = {"DetailID", "IndexNo",   "BillID",  "StoreCode", "Price", "BoxQty",
                  "Amount",   "SizeIndex", "SizeStr", "x_1",       "x_2"};
  copy.slots = {"x_1", "x_2"};
  copy.sizeTextExtension = ".0";
  return copy;
}

struct DetailScenario {
  std::int32_t tag = 10;
  bool hasRow = true;
  std::string tableName = "StockDetail";
  std::string keyField = "DetailID";
  std::string createField = "Price;BoxQty;Amount;";
  std::string fieldKind = "Money;Int;Money;";
  sql::Value fieldFrom = "2";
  std::string dictionaryTable = "StockBill";
  std::vector<std::string> dictionaryColumns = {"BillID", "StoreCode", "ClerkCode"};
  std::int32_t n = 3;
  std::vector<std::string> plainColumns = {"DetailID", "IndexNo", "BillID",    "StoreCode", "Price",
                                           "BoxQty",   "Amount",  "SizeIndex", "SizeStr"};
  std::vector<std::string> xColumns = {"x_1", "x_2"};
  std::optional<std::string> sizeText = "1.2";  // nullopt: no SizeStr column
  std::string rowsHeld = "5";
  std::string rowsCopied = "5";
  std::string quantitiesAboveN = "0";
  std::string companionRows = "0";  // each of _U, _I, _D, by the catalog's count
  bool versionNo = true;
  std::vector<std::pair<std::string, DependentRows>> dependents;  // by table
  std::vector<std::vector<sql::Value>> oldColumns;                // OldColumn rows; none by default

  std::string Sql(const std::string& pattern) const { return sql::Format(pattern, tableName); }

  // What the rebuild of the default table reads, in order, each phase alike:
  // a run without --online reads the table's lock before the dependents.
  static std::vector<std::string> Reads() {
    return {
        "OPEN Select * from S_Modify Where TableTag=10",
        "OPEN " + rebuild::DependentsQuery("StockDetail"),
        "OPEN " + rebuild::DependentsQuery("StockDetail_U"),
        "OPEN " + rebuild::DependentsQuery("StockDetail_I"),
        "OPEN " + rebuild::DependentsQuery("StockDetail_D"),
        "OPEN Select Name from sysColumns Where ID=Object_ID('StockDetail') and Name='SizeStr'",
        "OPEN Select Top 1 SizeStr From StockDetail Where SizeStr is Not null and SizeStr<>''",
        "OPEN Select Name from sysColumns Where ID=Object_ID('StockDetail') and Name Not Like "
        "'x_%' order by ColOrder",
        "OPEN Select Name from sysColumns Where ID=Object_ID('StockDetail') and Name Like 'x_%' "
        "order by ColOrder",
        "OPEN Select TableName From DataDictionary where TableTag=10",
        "OPEN Select * From S_Modify Where TableTag=10",
        "OPEN Select  *  From StockBill Where 1=0 ",
        "OPEN " + kSlotCountSql,
        "OPEN Select Name from sysColumns Where ID=Object_ID('StockDetail') and Name='x_3'",
        "OPEN Select Name from sysColumns Where ID=Object_ID('StockDetail') and Name='x_2'",
        "OPEN " + rebuild::ColumnPropertiesQuery("StockDetail"),
    };
  }

  void Apply(Script& script) const {
    const std::string tagText = std::to_string(tag);
    sql::ResultSet row = Rows({"TableTag", "TableName", "KeyField", "CreateField", "FieldKind",
                               "FieldFrom", "CanCreateFlag", "Modified"},
                              {});
    if (hasRow) {
      row.rows.push_back(
          {tagText, tableName, keyField, createField, fieldKind, fieldFrom, "1", "1"});
    }
    script.Answer("Select * from S_Modify Where TableTag=" + tagText, row);
    script.Answer("Select * From S_Modify Where TableTag=" + tagText, row);
    script.Answer(Sql("Select Name from sysColumns Where ID=Object_ID('%s') and Name='SizeStr'"),
                  sizeText ? Column("Name", {"SizeStr"}) : Column("Name", {}));
    if (sizeText) {
      script.Answer(Sql("Select Top 1 SizeStr From %s Where SizeStr is Not null and SizeStr<>''"),
                    Column("SizeStr", {*sizeText}));
    }
    std::vector<sql::Value> plain(plainColumns.begin(), plainColumns.end());
    std::vector<sql::Value> x(xColumns.begin(), xColumns.end());
    script.Answer(Sql("Select Name from sysColumns Where ID=Object_ID('%s') and Name Not Like "
                      "'x_%%' order by ColOrder"),
                  Column("Name", plain));
    script.Answer(Sql("Select Name from sysColumns Where ID=Object_ID('%s') and Name Like 'x_%%' "
                      "order by ColOrder"),
                  Column("Name", x));
    script.Answer("Select TableName From DataDictionary where TableTag=" + tagText,
                  Column("TableName", {dictionaryTable}));
    script.Answer("Select  *  From " + dictionaryTable + " Where 1=0 ",
                  Rows(dictionaryColumns, {}));
    script.Answer(kSlotCountSql, Rows({"", "SizeGroupID"}, {{std::to_string(n), "1"}}));
    for (std::int32_t k = 1; k <= n; ++k) {
      const std::string name = "x_" + std::to_string(k);
      const bool present = std::find(xColumns.begin(), xColumns.end(), name) != xColumns.end();
      script.Answer(
          sql::Format("Select Name from sysColumns Where ID=Object_ID('%s') and Name='x_%d'",
                      tableName, k),
          present ? Column("Name", {name}) : Column("Name", {}));
    }
    script.Answer(Sql("Select Count(*) From %s With (TabLockX, HoldLock)"), Column("", {rowsHeld}));
    script.Answer("Select Count(*) From dbo.Tmp_" + tableName, Column("", {rowsCopied}));
    script.Answer("Select * from syscolumns where name='VersionNo' and id=object_id('Parameter')",
                  versionNo ? Column("name", {"VersionNo"}) : Column("name", {}));
    std::string above;
    for (const auto& name : xColumns) {
      std::int32_t slot = 0;
      if (!rebuild::IsSlotColumnName(name, &slot) || slot <= n) continue;
      above += (above.empty() ? "" : " Or ") + name + "<>0";
    }
    script.Answer(Sql("Select Count(*) From %s Where ") + above, Column("", {quantitiesAboveN}));
    // What the check before the transaction reads from the catalog.
    script.Answer(CatalogRowsSql(tableName), Column("", {rowsHeld}));
    for (const char* suffix : {"_U", "_I", "_D"}) {
      script.Answer(CatalogRowsSql(tableName + suffix), Column("", {companionRows}));
    }
    ScriptDependents(script, dependents);
    sql::ResultSet properties = Rows(std::vector<std::string>(20, ""), oldColumns);
    script.Answer(rebuild::ColumnPropertiesQuery(tableName), properties);
  }

  static std::string CatalogRowsSql(const std::string& table) {
    return "Select Sum(rows) From sys.partitions Where object_id=Object_ID(N'" + table +
           "') and index_id In (0,1)";
  }
};

// The room the server reports: each detail table holds `tablePages` pages
// of data; one log file of `logPages` pages, fixed in size, `logUsedPages` of
// them in use; one data file that grows without a limit.
inline void ScriptRoom(Script& script, const std::vector<std::string>& tables,
                       std::int64_t tablePages, std::int64_t logPages, std::int64_t logUsedPages) {
  for (const std::string& table : tables) {
    script.Answer(entry::TableDataPagesSql(table), Column("", {std::to_string(tablePages)}));
  }
  script.Answer(entry::kDatabaseFilesSql,
                Rows({"type", "size", "max_size", "growth", ""},
                     {{"0", "12800", "-1", "128", "6400"},
                      {"1", std::to_string(logPages), std::to_string(logPages), "0",
                       std::to_string(logUsedPages)}}));
}

inline const std::string kTypesSql =
    "Select a.* From DataDictReportContent a,DataDictionary b Where a.TableID=b.TableID and "
    "b.TableTag=";

// The dictionary of one per-terminal table, by default the one of the worked
// examples: TableTag 101, key K, fixed column F Int, value column V Money,
// N = 2 and no report content types.
struct TerminalScenario {
  std::int32_t tag = 101;
  bool hasSModifyRow = true;
  std::string tableName = "TermCount";
  std::string createField = "V;";
  std::string fieldKind = "Money;";
  std::string fixedField = "F;";
  std::string fixedFieldKind = "Int;";
  std::vector<std::string> types;
  std::string keyColumn = "K";
  std::string dictTableName = "TermCount";
  std::int32_t slotCount = 2;
  DependentRows dependents;
};

inline void ScriptTerminalDictionary(Script& script, const TerminalScenario& d) {
  const std::string tag = std::to_string(d.tag);
  sql::ResultSet sModify =
      Rows({"TableTag", "TableName", "KeyField", "CreateField", "FieldKind", "FixedField",
            "FixedFieldKind", "FieldFrom", "CanCreateFlag", "Modified"},
           {});
  if (d.hasSModifyRow) {
    sModify.rows.push_back({tag, d.tableName, "", d.createField, d.fieldKind, d.fixedField,
                            d.fixedFieldKind, "0", "1", "1"});
  }
  script.Answer("Select * from S_Modify Where TableTag=" + tag, sModify);
  sql::ResultSet types = Rows({"ID", "TableID", "Type"}, {});
  for (const std::string& type : d.types) {
    types.rows.push_back({std::to_string(types.rows.size() + 1), "7", type});
  }
  script.Answer(kTypesSql + tag, types);
  script.Answer("Select FieldName From DataDictionary where TableTag=" + tag,
                Column("FieldName", {d.keyColumn}));
  script.Answer("Select TableName From DataDictionary where TableTag=" + tag,
                Column("TableName", {d.dictTableName}));
  sql::ResultSet groups = Rows({"", "SizeGroupID"}, {});
  if (d.slotCount > 0) groups.rows.push_back({std::to_string(d.slotCount), "1"});
  script.Answer(kSlotCountSql, groups);
  script.Answer(DetailScenario::CatalogRowsSql(d.tableName), Column("", {"3"}));
  script.Answer(
      "Select Object_ID(N'" + d.tableName + "'),Col_Length(N'" + d.tableName + "','TerminalName')",
      Rows({"", ""}, {{"1234", "40"}}));
  ScriptDependents(script, {{d.tableName, d.dependents}});
}

}  // namespace slotsync::testing
