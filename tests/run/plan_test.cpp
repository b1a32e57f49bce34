// The plan is the run with its writes recorded instead of sent: for every
// database the whole-run suites use, the writes it records are the writes a
// real run sends, in order; and one pass names every problem of every table.

#include <algorithm>
#include <set>

#include "entry/opening_hours.h"
#include "entry/restructure_run.h"
#include "entry/space_check.h"
#include "entry/table_rights.h"
#include "four_tables.h"

namespace slotsync::testing {
namespace {

using entry::Outcome;
using Statements = std::vector<std::string>;

class Plan : public RunFixture {
 protected:
  // Runs the four-table database, changed as the case says, planned or real.
  entry::RunReport Go(const std::function<void(FourTables&)>& change, bool plan,
                      Statements& writes) {
    script = Script();
    FourTables tables;
    if (change) change(tables);
    tables.Apply(*this);
    entry::RunDependencies deps = WithRealRebuilders(Dependencies());
    deps.plan = plan;
    deps.observeStatement = [&writes](const std::string& text, sql::StatementOutcome outcome) {
      if (outcome == sql::StatementOutcome::kPlanned ||
          outcome == sql::StatementOutcome::kPlannedIgnored) {
        writes.push_back(text);
      }
    };
    const entry::RunReport report = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
    if (!plan) {
      // The run's own lock on the database and its session's settings are
      // no writes of the plan's (its script says them in its header).
      for (const auto& entry : script.Log()) {
        if (entry.starts_with("EXEC ") && !entry.starts_with("EXEC Exec sp_releaseapplock") &&
            !entry.starts_with("EXEC SET ")) {
          writes.push_back(entry.substr(5));
        }
      }
    }
    return report;
  }
};

TEST_F(Plan, RecordsTheWritesTheRunSends) {
  const std::pair<const char*, std::function<void(FourTables&)>> cases[] = {
      {"four tables", {}},
      {"free fields and extra columns",
       [](FourTables& t) {
         t.stockDetail.tag = 21;
         t.orderDetail.tag = 39;
       }},
      {"slots added to the size texts, no trigger",
       [](FourTables& t) {
         t.stockDetail.sizeText = "1";
         t.stockDetail.versionNo = t.orderDetail.versionNo = false;
       }},
      {"a fallen size count without quantities",
       [](FourTables& t) {
         t.stockDetail.xColumns = {"x_1", "x_2", "x_3", "x_4"};
         t.stockDetail.sizeText = "1.2.3.4";
       }},
      {"per-terminal tables without sizes or types",
       [](FourTables& t) {
         t.termCount.tag = 130;
         t.termReport.types = {};
       }},
      {"TableTags that are never rebuilt", [](FourTables& t) { t.orderDetail.tag = 27; }},
  };
  for (const auto& [name, change] : cases) {
    SCOPED_TRACE(name);
    Statements planned, sent;
    const entry::RunReport plan = Go(change, true, planned);
    const entry::RunReport run = Go(change, false, sent);
    ASSERT_EQ(run.outcome, Outcome::kCommitted) << run.message;
    EXPECT_EQ(plan.outcome, Outcome::kPlanned) << plan.message;
    EXPECT_EQ(planned, sent);
    // Nothing was written, begun or locked by the plan.
    Statements none;
    Go(change, true, none);
    EXPECT_TRUE(std::none_of(script.Log().begin(), script.Log().end(), [](const std::string& e) {
      return e.starts_with("EXEC ") || e == "START TRANSACTION" ||
             e.find("TabLockX") != std::string::npos;
    }));
  }
}

// Each defect a dictionary can have, found by one plan, with the table it
// belongs to and how much it weighs.
TEST_F(Plan, NamesEveryProblemOfEveryTable) {
  struct Case {
    const char* name;
    std::function<void(FourTables&, Script&)> plant;
    std::int32_t tag;
    std::string says;
    rebuild::Severity severity = rebuild::Severity::kRefusal;
  };
  const std::string lengths =
      "Select Name,Length,Type_Name(xusertype) As TypeName From sysColumns Where "
      "ID=Object_ID(N'OrderDetail') order by ColOrder";
  const Case cases[] = {
      {"a refused text", [](FourTables& t, Script&) { t.termCount.fixedField = "F--;"; }, 101,
       "S_Modify.FixedField holds 'F--'"},
      {"no S_Modify row", [](FourTables& t, Script&) { t.orderDetail.hasRow = false; }, 450,
       "S_Modify has no row for TableTag 450"},
      {"no old table",
       [](FourTables& t, Script& s) {
         t.stockDetail.tableName = "Gone";
         s.Answer(DetailScenario::CatalogRowsSql("Gone"), Column("", {std::nullopt}));
       },
       10, "the detail table Gone (S_Modify.TableName) does not exist"},
      {"a composite key", [](FourTables& t, Script&) { t.stockDetail.keyField = "A;B;"; }, 10,
       "names several key columns"},
      {"a schema-qualified table name",
       [](FourTables& t, Script&) { t.orderDetail.tableName = "dbo.OrderDetail"; }, 450,
       "S_Modify.TableName holds 'dbo.OrderDetail', which is not a table name (it names a "
       "schema"},
      {"an empty column list",
       [](FourTables& t, Script&) {
         t.orderDetail.plainColumns.clear();
         t.orderDetail.xColumns.clear();
       },
       450, "the catalog lists no column of OrderDetail"},
      {"quantities above N",
       [](FourTables& t, Script&) {
         t.stockDetail.xColumns = {"x_1", "x_2", "x_3", "x_4", "x_5"};
         t.stockDetail.quantitiesAboveN = "7";
       },
       10, "StockDetail: 7 rows hold quantities in x_4, x_5"},
      {"a value column without a type",
       [](FourTables& t, Script&) { t.orderDetail.fieldKind = "Money;"; }, 450, "gives it no type"},
      {"an old column the new table lacks",
       [](FourTables& t, Script&) { t.orderDetail.plainColumns.push_back("Discount"); }, 450,
       "has columns the new table lacks (Discount)"},
      {"a fallen size count", [](FourTables& t, Script&) { t.orderDetail.sizeText = "1.2.3.4"; },
       450, "the size texts of OrderDetail have 4 parts but the size groups now need 3",
       rebuild::Severity::kNotice},
      {"values longer than their new column",
       [&](FourTables&, Script& s) {
         s.Answer(lengths,
                  Rows({"Name", "Length", "TypeName"}, {{"OrderBillID", "50", "varchar"}}));
         s.Answer(
             "Select Max(DataLength(RTrim(Convert(Varchar(8000),[OrderBillID])))) From "
             "OrderDetail",
             Column("", {"31"}));
       },
       450,
       "OrderDetail.OrderBillID holds values of up to 31 bytes, longer than its new column (20"},
      {"a decimal copied into an Int",
       [](FourTables& t, Script&) {
         t.orderDetail.fieldKind = "Int;Varchar(20);";
         t.orderDetail.oldColumns = {OldColumn("Price", "decimal", "9", "12", "2")};
       },
       450,
       "OrderDetail.Price is decimal(12,2) Null and its new definition is Int Null: their "
       "fractions would be rounded away"},
      {"NULLs copied into a Not Null key",
       [](FourTables& t, Script& s) {
         t.orderDetail.oldColumns = {
             OldColumn("OrderDetailID", "varchar", "40", "0", "0", true, "Chinese_PRC_CI_AS")};
         s.Answer(
             "Select Sum(Case When [OrderDetailID] Is Null Then 1 Else 0 End),0 From OrderDetail",
             Rows({"", ""}, {{"3", "0"}}));
       },
       450,
       "OrderDetail.OrderDetailID holds 3 NULLs, which its new definition Varchar(40) Not "
       "Null Default NewID() refuses"},
      {"Unicode text copied into a code page",
       [](FourTables& t, Script& s) {
         t.orderDetail.oldColumns = {
             OldColumn(kRemarkGbk, "nvarchar", "40", "0", "0", true, "Chinese_PRC_CI_AS")};
         const std::string c = "[" + kRemarkGbk + "]";
         s.Answer(
             "Select 0,Sum(Case When Convert(VarBinary(max),Convert(NVarchar(max),Convert("
             "VarChar(max),Convert(NVarchar(max)," +
                 c +
                 ") Collate database_default)))<>Convert(VarBinary(max),Convert("
                 "NVarchar(max)," +
                 c + ")) Then 1 Else 0 End) From OrderDetail",
             Rows({"", ""}, {{"0", "2"}}));
       },
       450, "holds 2 values with characters that its new definition Varchar(20) Null cannot hold"},
      {"no INSERT into the tables it creates",
       [](FourTables&, Script& s) {
         s.Answer(entry::kNewTableRightsSql,
                  Rows({"CanSelect", "CanInsert", "CanUpdate"}, {{"1", "0", "1"}}));
       },
       0, "the login may not INSERT (the run copies each detail table into dbo.Tmp_<table>)"},
      {"the room, shown",
       [](FourTables&, Script& s) {
         ScriptRoom(s, {"StockDetail", "OrderDetail"}, 1024, 128000, 128);
         s.Answer(entry::kLogSpaceSql, Column("", {"2097152"}));
       },
       0, "space: the run will log about 48 MB", rebuild::Severity::kNote},
      {"indexes and compression in the room",
       [](FourTables&, Script& s) {
         ScriptRoom(s, {"OrderDetail"}, 1024, 128000, 128);
         s.Answer(entry::TableDataPagesSql("StockDetail"),
                  Rows({"", "", ""}, {{"1024", "512", "2"}}));
         s.Answer(entry::kLogSpaceSql, Column("", {"2097152"}));
       },
       0,
       "space: the run will log about 108 MB in its one transaction (3 times the 32 MB of data and "
       "4 MB of indexes",
       rebuild::Severity::kNote},
      {"a compressed table",
       [](FourTables&, Script& s) {
         s.Answer(entry::TableDataPagesSql("StockDetail"), Rows({"", "", ""}, {{"8", "0", "2"}}));
       },
       10, "StockDetail is stored with PAGE compression and its copy is not compressed",
       rebuild::Severity::kNote},
      {"a log that only its disk bounds",
       [](FourTables&, Script& s) {
         for (const char* table : {"StockDetail", "OrderDetail"}) {
           s.Answer(entry::TableDataPagesSql(table), Column("", {"1024"}));
         }
         s.Answer(entry::kDatabaseFilesSql,
                  Rows({"type", "size", "max_size", "growth", ""},
                       {{"0", "12800", "-1", "128", "6400"},
                        {"1", "128", std::to_string(entry::kLogLimitPages), "10", "64"}}));
       },
       0, "the transaction log has 1 MB free and then grows as far as its disk allows",
       rebuild::Severity::kNote},
      {"the server's version",
       [](FourTables&, Script& s) {
         s.Answer(kPreconditionSql,
                  Rows({"ProductVersion", "EngineEdition"}, {{"13.0.5026.0", "3"}}));
       },
       0, "server: SQL Server 13.0.5026.0", rebuild::Severity::kNote},
      {"a server older than SQL Server 2008 R2",
       [](FourTables&, Script& s) {
         s.Answer(kPreconditionSql,
                  Rows({"ProductVersion", "EngineEdition"}, {{"10.0.6000.29", "3"}}));
       },
       0, "the server is SQL Server 10.0.6000.29, older than SQL Server 2008 R2 (10.50)"},
      {"the application's sessions",
       [](FourTables&, Script& s) {
         s.Answer(entry::kDatabaseStateSql, Rows({"SeesServer"}, {{"1"}}));
         s.Answer(entry::kSessionsSql, Rows({"", ""}, {{"POS", "12"}, {std::nullopt, "1"}}));
       },
       0, "13 other sessions are connected to the database now (12 of POS, 1 of no program name)",
       rebuild::Severity::kNote},
      {"sessions the login may not see",
       [](FourTables&, Script& s) {
         s.Answer(entry::kDatabaseStateSql, Rows({"SeesServer", "SeesDatabase"}, {{"0", "1"}}));
       },
       0, "the sessions connected to the database could not be read", rebuild::Severity::kNote},
      {"snapshot isolation",
       [](FourTables&, Script& s) {
         s.Answer(entry::kDatabaseStateSql, Rows({"snapshot_isolation_state"}, {{"1"}}));
       },
       0, "gets error 3961 when it reads a rebuilt table", rebuild::Severity::kNote},
      {"read committed snapshot",
       [](FourTables&, Script& s) {
         s.Answer(entry::kDatabaseStateSql, Rows({"is_read_committed_snapshot_on"}, {{"1"}}));
       },
       0, "read committed snapshot is on, yet readers still wait", rebuild::Severity::kNote},
      {"the log held while the run is open",
       [](FourTables&, Script& s) {
         s.Answer(entry::kDatabaseStateSql,
                  Rows({"recovery_model_desc", "log_reuse_wait_desc"}, {{"FULL", "LOG_BACKUP"}}));
       },
       0, "(recovery model FULL; the log now waits for LOG_BACKUP)", rebuild::Severity::kNote},
      {"an availability group",
       [](FourTables&, Script& s) { s.Answer(entry::kReplicaSql, Column("", {"1"})); }, 0,
       "the database is in an availability group: on a readable secondary, redo",
       rebuild::Severity::kNote},
      {"database DDL triggers",
       [](FourTables&, Script& s) {
         s.Answer(entry::kDdlTriggersSql, Column("name", {"trg_Audit", "trg_NoDrop"}));
       },
       0, "database DDL triggers fire on the run's statements: trg_Audit, trg_NoDrop",
       rebuild::Severity::kNote},
      {"change tables the rebuild empties",
       [](FourTables&, Script& s) {
         s.Answer(DetailScenario::CatalogRowsSql("StockDetail_U"), Column("", {"12"}));
         s.Answer(DetailScenario::CatalogRowsSql("StockDetail_D"), Column("", {"3"}));
       },
       10,
       "the rebuild empties StockDetail_U (12 rows), StockDetail_I (0 rows), StockDetail_D (3 "
       "rows); changes recorded there may not have reached head office yet",
       rebuild::Severity::kNote},
      {"a business table where a work table belongs",
       [](FourTables&, Script& s) {
         s.Answer("Select Object_ID(N'TermCount'),Col_Length(N'TermCount','TerminalName')",
                  Rows({"", ""}, {{"99", std::nullopt}}));
       },
       101, "TermCount (S_Modify.TableName) exists but has no TerminalName column"},
      {"a capture a stopped online run left",
       [](FourTables& t, Script&) {
         t.stockDetail.dependents = {{"StockDetail",
                                      {{"T", "slotsync_online_StockDetail", std::nullopt, "0", "0",
                                        "0", "CREATE TRIGGER ...", "1"}}}};
       },
       10,
       "left the capture trigger dbo.slotsync_online_StockDetail on StockDetail and the table "
       "dbo.Tmp_StockDetail: the rebuild drops both",
       rebuild::Severity::kNote},
      {"a column twice",
       [](FourTables& t, Script&) {
         t.termReport.types = {"T1", "t1"};
       },
       600, "would have these columns twice, which the server refuses: t1_x_1, t1_x_2"},
      {"a default the template adds again",
       [](FourTables& t, Script&) { t.termReport.fieldKind = "Money Default 0;"; }, 600,
       "the server refuses a second one"},
      {"too many columns",
       [](FourTables& t, Script&) {
         t.termReport.types = std::vector<std::string>(400, "T");
         for (std::size_t i = 0; i < t.termReport.types.size(); ++i) {
           t.termReport.types[i] += std::to_string(i);
         }
       },
       600, "more than the 1024 a table can have"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = Script();
    FourTables tables;
    c.plant(tables, script);
    tables.Apply(*this);
    entry::RunDependencies deps = WithRealRebuilders(Dependencies());
    deps.plan = true;
    const entry::RunReport plan = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
    const auto& problems = plan.findings.Problems();
    const auto found = std::find_if(problems.begin(), problems.end(), [&](const auto& p) {
      return p.tableTag == c.tag && p.message.find(c.says) != std::string::npos;
    });
    ASSERT_NE(found, problems.end()) << plan.message;
    EXPECT_EQ(found->severity, c.severity);
    EXPECT_EQ(plan.outcome, c.severity == rebuild::Severity::kRefusal ? Outcome::kPlanRefused
                                                                      : Outcome::kPlanned);
    // The other tables were planned all the same.
    EXPECT_EQ(plan.findings.Tables().size(), 4u);
  }
}

// What a script checks before each table's first write, under the table's
// lock, so that it stops on a database that moved on since the plan: the
// table still flagged with the texts planned (or already done), N, and the
// columns the copy names (for a per-terminal table, that it is one).
TEST_F(Plan, ChecksTheDatabaseIsStillAsPlannedBeforeEachTablesFirstWrite) {
  script = Script();
  FourTables().Apply(*this);
  entry::RunDependencies deps = WithRealRebuilders(Dependencies());
  deps.plan = true;
  Statements planned;
  deps.observeStatement = [&planned](const std::string& text, sql::StatementOutcome outcome) {
    if (outcome >= sql::StatementOutcome::kPlanned) planned.push_back(text);
  };
  ASSERT_EQ(entry::RunRestructure({"srv", "db", "sa", "pw"}, deps).outcome, Outcome::kPlanned);
  const auto stop = [](const std::string& condition, const std::string& message, int severity) {
    return "If " + condition + " Begin If @@TRANCOUNT>0 Rollback Transaction; RaisError('" +
           message + "', " + std::to_string(severity) + ", 1); Set NoExec On; End";
  };
  const auto changed = [&stop](const std::string& condition, const std::string& what) {
    return stop(condition,
                "the database changed since the plan (written $(PlanWritten)): plan again; " +
                    what + "; nothing was changed",
                16);
  };
  const std::string flagged =
      "Not Exists (Select * From S_Modify With (UpdLock, HoldLock) Where TableTag=%d and "
      "CanCreateFlag=1 and Modified=1 and IsNull(TableName,N'')=N'%s' and ";
  const std::string notFlagged =
      "the S_Modify row of TableTag %d is no longer the flagged row "
      "the plan read";
  // Each table the rebuild replaces still holds what the plan carries: as
  // many indexes, constraints, keys, triggers and grants (none here).
  const auto holds = [&](int tag, const std::string& table) {
    const std::string id = "Object_ID(N'" + table + "')";
    return changed(
        "(Select Count(*) From sys.indexes Where object_id=" + id +
            " And is_primary_key=0 And type In (1,2) And is_hypothetical=0)<>0 Or (Select Count(*) "
            "From sys.check_constraints Where parent_object_id=" +
            id +
            ")<>0 Or (Select "
            "Count(*) From sys.default_constraints Where parent_object_id=" +
            id +
            ")<>0 Or "
            "(Select Count(*) From sys.foreign_keys Where parent_object_id=" +
            id +
            ")<>0 Or "
            "(Select Count(*) From sys.triggers Where parent_id=" +
            id +
            ")<>0 Or (Select "
            "Count(*) From sys.database_permissions Where major_id=" +
            id + " And class=1 And state In ('G','W','D'))<>0",
        sql::Format("TableTag %d: the indexes, constraints, triggers or grants of %s are no "
                    "longer those the plan saw",
                    tag, table));
  };
  const Statements detail = {
      "Select Count(*) From StockDetail With (TabLockX, HoldLock)",
      stop("Exists (Select * From S_Modify Where TableTag=10 and IsNull(Modified,0)=0)",
           "already applied: S_Modify no longer flags TableTag 10 (StockDetail), so this script "
           "or a run has already rebuilt it; this run of the script changed nothing",
           10),
      changed(sql::Format(flagged, 10, "StockDetail") +
                  "IsNull(KeyField,N'')=N'DetailID' and IsNull(CreateField,N'')=N'Price;BoxQty;"
                  "Amount;' and IsNull(FieldKind,N'')=N'Money;Int;Money;')",
              sql::Format(notFlagged, 10)),
      changed("IsNull((Select Max(n) From (Select Count(*) As n From SizeGroup a,SizeGroupSize b "
              "Where a.SizeGroupID=b.SizeGroupID Group by b.SizeGroupID) g),0)<>3",
              "TableTag 10: the size groups no longer need 3 size slots"),
      changed("(Select Count(*) From sysColumns Where ID=Object_ID(N'StockDetail'))<>11 Or (Select "
              "Count(*) From sysColumns Where ID=Object_ID(N'StockDetail') and Name In "
              "(N'DetailID',N'IndexNo',N'BillID',N'StoreCode',N'Price',N'BoxQty',N'Amount',"
              "N'SizeIndex',N'SizeStr',N'x_1',N'x_2'))<>11",
              "TableTag 10: the columns of StockDetail are no longer those the plan saw"),
      holds(10, "StockDetail"),
      holds(10, "StockDetail_U"),
      holds(10, "StockDetail_I"),
      holds(10, "StockDetail_D"),
      "if exists (select * from dbo.sysobjects where id = object_id(N'dbo.Tmp_StockDetail') ) "
      "Drop Table dbo.Tmp_StockDetail"};
  const auto lock = std::find(planned.begin(), planned.end(), detail.front());
  ASSERT_LE(detail.size(), static_cast<std::size_t>(planned.end() - lock));
  EXPECT_EQ(Statements(lock, lock + static_cast<std::ptrdiff_t>(detail.size())), detail);
  // A per-terminal table: its own S_Modify columns, and no business table.
  const Statements terminal = {
      changed(sql::Format(flagged, 101, "TermCount") +
                  "IsNull(CreateField,N'')=N'V;' and IsNull(FieldKind,N'')=N'Money;' and "
                  "IsNull(FixedField,N'')=N'F;' and IsNull(FixedFieldKind,N'')=N'Int;')",
              sql::Format(notFlagged, 101)),
      changed("IsNull((Select Max(n) From (Select Count(*) As n From SizeGroup a,SizeGroupSize b "
              "Where a.SizeGroupID=b.SizeGroupID Group by b.SizeGroupID) g),0)<>3",
              "TableTag 101: the size groups no longer need 3 size slots"),
      changed("Object_ID(N'TermCount') Is Not Null and Col_Length(N'TermCount','TerminalName') Is "
              "Null",
              "TableTag 101: TermCount has no TerminalName column now, so it is no per-terminal "
              "work table"),
      holds(101, "TermCount"), "Drop Table TermCount"};
  const auto drop = std::find(planned.begin(), planned.end(), terminal.back());
  ASSERT_GE(drop - planned.begin(), 4);
  EXPECT_EQ(Statements(drop - 4, drop + 1), terminal);

  // Slot columns that go: their quantities are counted by a statement of its
  // own, which a script run again after they went never compiles.
  script = Script();
  FourTables tables;
  tables.stockDetail.xColumns = {"x_1", "x_2", "x_3", "x_4", "x_5"};
  tables.Apply(*this);
  planned.clear();
  ASSERT_EQ(entry::RunRestructure({"srv", "db", "sa", "pw"}, deps).outcome, Outcome::kPlanned);
  EXPECT_NE(std::find(planned.begin(), planned.end(),
                      "Declare @Rows int; Exec sp_executesql N'Select @Rows=Count(*) From "
                      "StockDetail Where x_4<>0 Or x_5<>0', N'@Rows int Output', @Rows=@Rows "
                      "Output; " +
                          stop("@Rows>0",
                               "StockDetail holds quantities in x_4, x_5, above the 3 size slots "
                               "the size groups need now; nothing was changed so that none is lost",
                               16)),
            planned.end());
}

}  // namespace
}  // namespace slotsync::testing
