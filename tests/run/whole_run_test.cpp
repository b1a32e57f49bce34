// A whole run with the real rebuilders over the scripted connection: every
// flagged table is rebuilt inside one transaction, and the flags are cleared
// in that same transaction.

#include "entry/restructure_run.h"
#include "entry/table_rights.h"
#include "four_tables.h"
#include "run_fixture.h"
#include "scenarios.h"

namespace slotsync::testing {
namespace {

class WholeRun : public RunFixture {
 protected:
  void ScriptDatabase(const std::function<void(DetailScenario&, TerminalScenario&)>& change = {}) {
    ScriptCounts(3, 2);
    ScriptFlagged({10, 101, 111});
    DetailScenario detail;
    std::vector<TerminalScenario> terminals(2);
    for (std::size_t i = 0; i < terminals.size(); ++i) {
      TerminalScenario& terminal = terminals[i];
      terminal.tag = i == 0 ? 101 : 111;
      terminal.tableName = terminal.dictTableName = "Term" + std::to_string(terminal.tag);
      terminal.slotCount = 3;
    }
    if (change) change(detail, terminals[1]);
    detail.Apply(script);
    for (const TerminalScenario& terminal : terminals) ScriptTerminalDictionary(script, terminal);
  }

  entry::RunReport RunWithRealRebuilders() {
    entry::RunDependencies deps = Dependencies();
    deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
      return rebuild::MakeRebuilders(access, box);
    };
    return entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
  }

  // The log entries between START TRANSACTION and the end of the transaction.
  std::vector<std::string> Transaction(const std::string& end) const {
    const auto& log = script.Log();
    const auto first = std::find(log.begin(), log.end(), "START TRANSACTION");
    const auto last = std::find(first, log.end(), end);
    return {first, last == log.end() ? last : std::next(last)};
  }
};

TEST_F(WholeRun, RebuildsDetailAndTerminalTablesAndClearsEveryFlagInOneTransaction) {
  ScriptDatabase();
  const auto report = RunWithRealRebuilders();
  ASSERT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  EXPECT_EQ(report.rebuiltTables, 3);
  std::vector<std::string> cleared;
  for (const auto& entry : Transaction("COMMIT")) {
    if (entry.starts_with("EXEC Update S_Modify Set Modified=0")) cleared.push_back(entry);
  }
  EXPECT_EQ(cleared,
            (std::vector<std::string>{"EXEC Update S_Modify Set Modified=0 Where TableTag=10",
                                      "EXEC Update S_Modify Set Modified=0 Where TableTag=101",
                                      "EXEC Update S_Modify Set Modified=0 Where TableTag=111"}));
  EXPECT_EQ(Transaction("COMMIT").back(), "COMMIT");
}

TEST_F(WholeRun, AFailureInTheLastTableUndoesTheWholeRun) {
  ScriptDatabase();
  script.Fail(
      "CREATE  INDEX [IX_Term111_Terminal] ON [dbo].[Term111]([TerminalName]) ON [PRIMARY] ",
      "The operation failed because an index or statistics with name 'IX_Term111_Terminal' "
      "already exists on table 'Term111'.");
  const auto report = RunWithRealRebuilders();
  EXPECT_EQ(report.outcome, entry::Outcome::kRolledBack);
  EXPECT_EQ(report.failedTableTag, 111);
  const auto transaction = Transaction("ROLLBACK");
  EXPECT_EQ(transaction.back(), "ROLLBACK");
  EXPECT_EQ(transaction[transaction.size() - 2],
            "EXEC CREATE  INDEX [IX_Term111_Terminal] ON [dbo].[Term111]([TerminalName]) ON "
            "[PRIMARY] ");
}

// Refusals are found before anything is locked; the size-decrease notice is
// never shown while the run holds a lock.
TEST_F(WholeRun, RefusalsComeBeforeAnyLockAndNoticesAfterTheRollback) {
  const std::string quantities = "Select Count(*) From StockDetail Where x_4<>0";
  struct Case {
    const char* name;
    std::function<void(DetailScenario&, TerminalScenario&)> change;
    entry::Outcome outcome;
    std::vector<std::string> inMessage;
  };
  const Case cases[] = {
      {"quantities above N and a refused text late in the run",
       [](DetailScenario& detail, TerminalScenario& terminal) {
         detail.xColumns = {"x_1", "x_2", "x_3", "x_4"};
         detail.quantitiesAboveN = "2";
         terminal.fixedFieldKind = "Int) Drop Table Customer--;";
       },
       entry::Outcome::kFailedBeforeTransaction,
       {"TableTag 10: StockDetail: 2 rows hold quantities in x_4",
        "TableTag 111: S_Modify.FixedFieldKind holds 'Int) Drop Table Customer--'"}},
      {"an incoming foreign key and a schema-bound view",
       [](DetailScenario& detail, TerminalScenario& terminal) {
         detail.xColumns = {"x_1", "x_2", "x_3", "x_4"};
         detail.quantitiesAboveN = "2";
         detail.dependents = {
             {"StockDetail", {{"R", "FK_Pick", "dbo.PickList", "0", "0", "0", std::nullopt, "1"}}}};
         terminal.dependents = {{"B", "dbo.vTerm", "VIEW", "0", "0", "0", std::nullopt, "1"}};
       },
       entry::Outcome::kFailedBeforeTransaction,
       {"TableTag 10: StockDetail is referenced by the foreign key FK_Pick of dbo.PickList",
        "TableTag 111: Term111 is bound to the schema of dbo.vTerm (VIEW)"}},
      {"quantities written between the check and the lock",
       [](DetailScenario& detail, TerminalScenario&) {
         detail.xColumns = {"x_1", "x_2", "x_3", "x_4"};
       },
       entry::Outcome::kRolledBack,
       {"TableTag 10: StockDetail holds quantities in x_4"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = Script();
    notices.log = &script;
    ScriptDatabase(c.change);
    // The second count, under the run's lock, finds what was written since.
    script.Answer(quantities, Column("", {"1"}));
    const auto report = RunWithRealRebuilders();
    EXPECT_EQ(report.outcome, c.outcome);
    for (const std::string& part : c.inMessage) {
      EXPECT_NE(report.message.find(part), std::string::npos) << report.message;
    }
    const auto& log = script.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "NOTICE"), 1);
    const auto notice = std::find(log.begin(), log.end(), "NOTICE");
    if (c.outcome == entry::Outcome::kFailedBeforeTransaction) {
      // Nothing locked, nothing written, no transaction.
      EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& entry) {
        return (entry.starts_with("EXEC ") && entry != kReleaseLock &&
                entry != kLowDeadlockPriority) ||
               entry == "START TRANSACTION" || entry.find("TabLockX") != std::string::npos;
      }));
    } else {
      EXPECT_EQ(*std::prev(notice), "ROLLBACK");
    }
  }
}

// What the login may do to each table and the room the copies take are
// judged before anything is locked; room that is only just enough is said.
TEST_F(WholeRun, RightsAndRoomAreJudgedBeforeAnyLock) {
  struct Case {
    const char* name;
    std::function<void(Script&)> server;
    entry::Outcome outcome;
    std::string says;
  };
  const Case cases[] = {
      {"no SELECT on the old table",
       [](Script& s) {
         s.Answer(entry::TableRightsSql("StockDetail"),
                  Rows({"CanSelect", "CanAlter"}, {{"0", "1"}}));
       },
       entry::Outcome::kFailedBeforeTransaction,
       "TableTag 10: the login may not SELECT from StockDetail, which the run copies; grant it "
       "that right on dbo.StockDetail"},
      {"a log too small", [](Script& s) { ScriptRoom(s, {"StockDetail"}, 4096, 1280, 128); },
       entry::Outcome::kFailedBeforeTransaction, "the transaction log cannot take what the run"},
      {"a log only just large enough",
       [](Script& s) { ScriptRoom(s, {"StockDetail"}, 1024, 3328, 128); },
       entry::Outcome::kCommitted, "warning: little room to spare: the run will log about 24 MB"},
      {"a log that must grow on its disk",
       [](Script& s) {
         s.Answer(entry::TableDataPagesSql("StockDetail"), Column("", {"1024"}));
         s.Answer(entry::kDatabaseFilesSql,
                  Rows({"type", "size", "max_size", "growth", ""},
                       {{"0", "12800", "-1", "128", "6400"}, {"1", "128", "-1", "128", "64"}}));
       },
       entry::Outcome::kCommitted,
       "warning: the files must grow on their disk for the run to fit, and the run cannot see how "
       "much room the disk has: make sure it has 24 MB free for the transaction log"},
      {"a server older than SQL Server 2008 R2",
       [](Script& s) {
         s.Answer(kPreconditionSql,
                  Rows({"ProductVersion", "EngineEdition"}, {{"9.00.5000.00", "3"}}));
       },
       entry::Outcome::kFailedBeforeTransaction, "the server is SQL Server 9.00.5000.00, older"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = Script();
    c.server(script);
    ScriptDatabase();
    const auto report = RunWithRealRebuilders();
    EXPECT_EQ(report.outcome, c.outcome) << report.message;
    EXPECT_NE(report.message.find(c.says), std::string::npos) << report.message;
    if (c.outcome != entry::Outcome::kFailedBeforeTransaction) continue;
    const auto& log = script.Log();
    EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& entry) {
      return entry == "START TRANSACTION" || entry.find("TabLockX") != std::string::npos;
    }));
  }
}

// What each table of the run came to, in order, with the rows it copied
// (from the count under the table lock) and the rows recreated tables held.
TEST_F(WholeRun, EachTableIsReportedAsItGoesAndAtTheEnd) {
  ScriptDatabase([](DetailScenario& detail, TerminalScenario&) {
    detail.rowsHeld = "7";
    detail.rowsCopied = "7";
  });
  std::vector<std::string> seen;
  entry::RunDependencies deps = WithRealRebuilders(Dependencies());
  deps.onTableProgress = [&seen](const entry::TableRun& t) {
    seen.push_back(std::to_string(t.position) + "/" + std::to_string(t.count) + " " +
                   std::to_string(t.tableTag) + " " + t.tableName + " " +
                   (t.rows ? std::to_string(*t.rows) : "?") + " " + entry::StatusText(t.status));
  };
  const auto report = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
  ASSERT_EQ(report.outcome, entry::Outcome::kCommitted) << report.message;
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "1/3 10 StockDetail ? working", "1/3 10 StockDetail 7 working",
                      "1/3 10 StockDetail 7 rebuilt", "2/3 101 Term101 ? working",
                      "2/3 101 Term101 ? rebuilt", "3/3 111 Term111 ? working",
                      "3/3 111 Term111 ? rebuilt"}));
  ASSERT_EQ(report.tables.size(), 3u);
  EXPECT_EQ(report.tables[0].rowsLost, 0);
  EXPECT_TRUE(report.tables[1].rowsLost.has_value());
  EXPECT_GT(report.statementsSent, 20);
}

// What each table came to is what the database holds afterwards: work is
// "rebuilt" only once committed, rows copied are the copy's own count, and
// rows are lost only by a run that committed.
TEST_F(WholeRun, EachTableStatusIsWhatTheDatabaseHoldsAfterwards) {
  struct Case {
    const char* name;
    std::function<void(DetailScenario&)> change;
    std::function<void(Script&)> more;
    entry::Outcome outcome;
    std::int32_t rebuilt;
    std::vector<std::string> tables;  // TableTag, status, rows copied, rows lost
  };
  const Case cases[] = {
      {"committed",
       {},
       {},
       entry::Outcome::kCommitted,
       3,
       {"10 rebuilt 5 0", "101 rebuilt - 3", "111 rebuilt - 3"}},
      {"rolled back at the commit",
       {},
       [](Script& s) { s.FailCommit("log full"); },
       entry::Outcome::kRolledBack,
       0,
       {"10 rolled back 5 0", "101 rolled back - 0", "111 rolled back - 0"}},
      {"a short copy",
       [](DetailScenario& d) { d.rowsHeld = "8", d.rowsCopied = "6"; },
       {},
       entry::Outcome::kRolledBack,
       0,
       {"10 failed 6 0", "101 not reached - 0", "111 not reached - 0"}},
      {"size texts left at the notice",
       [](DetailScenario& d) { d.sizeText = "1.2.3.4"; },
       {},
       entry::Outcome::kCommitted,
       3,
       {"10 rebuilt, size texts left 5 0", "101 rebuilt - 3", "111 rebuilt - 3"}},
      {"refused before the transaction",
       [](DetailScenario& d) { d.hasRow = false; },
       {},
       entry::Outcome::kFailedBeforeTransaction,
       0,
       {"10 refused - 0", "101 not reached - 0", "111 not reached - 0"}},
  };
  for (const Case& c : cases) {
    Script fresh;
    std::swap(script, fresh);
    ScriptDatabase([&c](DetailScenario& detail, TerminalScenario&) {
      if (c.change) c.change(detail);
    });
    if (c.more) c.more(script);
    const auto report = RunWithRealRebuilders();
    EXPECT_EQ(report.outcome, c.outcome) << c.name << ": " << report.message;
    EXPECT_EQ(report.rebuiltTables, c.rebuilt) << c.name;
    std::vector<std::string> tables;
    for (const entry::TableRun& t : report.tables) {
      tables.push_back(std::to_string(t.tableTag) + " " + entry::StatusText(t.status) + " " +
                       (t.rowsCopied ? std::to_string(*t.rowsCopied) : "-") + " " +
                       (t.rowsLost ? std::to_string(*t.rowsLost) : "?"));
    }
    EXPECT_EQ(tables, c.tables) << c.name;
  }
}

// Lock waits on a busy database: bounded, and the run names who is in its way.
TEST_F(WholeRun, LockWaitsAreBoundedAndTheHolderIsNamed) {
  const std::string table = "Select Count(*) From StockDetail With (TabLockX, HoldLock)";
  const sql::ResultSet holder = Rows({"session_id", "host_name", "program_name", "login_name", ""},
                                     {{"53", "POS-07", "ShopPOS.exe", "cashier", "95"}});
  struct Case {
    const char* name;
    std::int32_t lockTimeout;
    std::function<void(Script&)> busy;
    entry::Outcome outcome;
    std::vector<std::string> inMessage;  // and, in order, in the log:
    std::vector<std::string> calls;
    std::string waitSaid;
  };
  const std::string wait5 = "OPEN " + DatabaseLockSql(5000);
  const std::string kDeadlock =
      "Transaction (Process ID 52) was deadlocked on lock resources with another process and "
      "has been chosen as the deadlock victim. Rerun the transaction.";
  const std::string copy =
      "Insert into dbo.Tmp_StockDetail(DetailID,IndexNo,BillID,StoreCode,Price,BoxQty,Amount,"
      "SizeIndex,SizeStr,x_1,x_2) Select DetailID,IndexNo,BillID,StoreCode,Price,BoxQty,Amount,"
      "SizeIndex,SizeStr,x_1,x_2 from StockDetail ";
  const Case cases[] = {
      {"a terminal holds a table",
       5,
       [&](Script& s) {
         s.Fail(table, "Lock request time out period exceeded.", "HY000", 1222);
         s.Answer(entry::TableHoldersSql("StockDetail"), holder);
       },
       entry::Outcome::kLockedOut,
       {"TableTag 10: Lock request time out period exceeded.",
        "table StockDetail is held by session 53 (host POS-07, program "
        "ShopPOS.exe, login cashier, transaction open 95 s)"},
       {"EXEC SET LOCK_TIMEOUT 5000", "OPEN " + DatabaseLockSql(), "START TRANSACTION",
        "OPEN " + table, "ROLLBACK", "OPEN " + entry::TableHoldersSql("StockDetail"), kReleaseLock,
        "DISCONNECT"},
       ""},
      {"a terminal holds a table the check before the transaction reads",
       5,
       [&](Script& s) {
         s.Fail(DetailScenario::CatalogRowsSql("StockDetail"), "Lock request time out.", "HY000",
                1222);
         s.Answer(entry::TableHoldersSql("StockDetail"), holder);
       },
       entry::Outcome::kLockedOut,
       {"Lock request time out.\ntable StockDetail is held by session 53"},
       {"OPEN " + DetailScenario::CatalogRowsSql("StockDetail"), kReleaseLock,
        "OPEN " + entry::TableHoldersSql("StockDetail"), "RELEASE"},
       ""},
      {"a companion table's drop ran out of time",
       5,
       [&](Script& s) {
         s.Fail(
             "if exists (select * from dbo.sysobjects where id = object_id(N'StockDetail_U') ) "
             "Drop Table StockDetail_U",
             "Lock request time out period exceeded.", "HY000", 1222);
         s.Answer(entry::TableHoldersSql("StockDetail_U"), holder);
       },
       entry::Outcome::kLockedOut,
       {"table StockDetail_U is held by session 53"},
       {"EXEC SET LOCK_TIMEOUT 5000", "EXEC SET DEADLOCK_PRIORITY LOW", "START TRANSACTION",
        "OPEN " + std::string(sql::kTransactionStateSql), "ROLLBACK",
        "OPEN " + entry::TableHoldersSql("StockDetail_U"), kReleaseLock},
       ""},
      {"the old detail table's drop ran out of time",
       5,
       [&](Script& s) {
         s.Fail("Drop Table StockDetail", "Lock request time out period exceeded.", "HY000", 1222);
         s.Answer(entry::TableHoldersSql("StockDetail"), holder);
       },
       entry::Outcome::kLockedOut,
       {"table StockDetail is held by session 53"},
       {"EXEC Drop Table StockDetail", "OPEN " + std::string(sql::kTransactionStateSql), "ROLLBACK",
        "OPEN " + entry::TableHoldersSql("StockDetail"), kReleaseLock},
       ""},
      {"a per-terminal table's drop ran out of time",
       5,
       [&](Script& s) {
         s.Fail("Drop Table Term101", "Lock request time out period exceeded.", "HY000", 1222);
         s.Answer(entry::TableHoldersSql("Term101"), holder);
       },
       entry::Outcome::kLockedOut,
       {"TableTag 101: Lock request time out period exceeded.",
        "table Term101 is held by session 53"},
       {"EXEC Drop Table Term101", "ROLLBACK", "OPEN " + entry::TableHoldersSql("Term101")},
       ""},
      {"chosen as a deadlock victim at the locked count",
       5,
       [&](Script& s) { s.Fail(table, kDeadlock, "40001", 1205); },
       entry::Outcome::kLockedOut,
       {"chosen as the deadlock victim", entry::kDeadlockVictimText},
       {"START TRANSACTION", "OPEN " + table, "ROLLBACK", kReleaseLock},
       ""},
      {"chosen as a deadlock victim in the check before the transaction",
       5,
       [&](Script& s) {
         s.Fail(DetailScenario::CatalogRowsSql("StockDetail"), kDeadlock, "40001", 1205);
       },
       entry::Outcome::kLockedOut,
       {kDeadlock + "\n" + entry::kDeadlockVictimText},
       {"OPEN " + DetailScenario::CatalogRowsSql("StockDetail"), kReleaseLock, "RELEASE"},
       ""},
      {"chosen as a deadlock victim at the copy",
       5,
       [&](Script& s) { s.Fail(copy, kDeadlock, "40001", 1205); },
       entry::Outcome::kLockedOut,
       {"TableTag 10: " + kDeadlock, entry::kDeadlockVictimText},
       {"EXEC " + copy, "ROLLBACK", kReleaseLock},
       ""},
      {"another run keeps the database",
       5,
       [&](Script& s) {
         s.Answer(DatabaseLockSql(), Column("", {"-1"}));
         s.Answer(DatabaseLockSql(5000), Column("", {"-1"}));
         s.Answer(entry::DatabaseLockHoldersSql(), holder);
       },
       entry::Outcome::kLockedOut,
       {"another run holds the database (session 53 (host POS-07"},
       {"EXEC SET LOCK_TIMEOUT 5000", "OPEN " + DatabaseLockSql(),
        "OPEN " + entry::DatabaseLockHoldersSql(), wait5, "RELEASE"},
       "waiting up to 5 s for another run on this database to end"},
      {"the other run did the work meanwhile",
       0,
       [&](Script& s) {
         s.Answer(DatabaseLockSql(), Column("", {"-1"}));
         s.Answer(DatabaseLockSql(60000), Column("", {"1"}));
         // The first count, then the second, under the lock.
         s.Answer(kColumnCountSql, Column("", {"2"}));
         s.Answer(kColumnCountSql, Column("", {"3"}));
       },
       entry::Outcome::kInStep,
       {},
       {"OPEN " + DatabaseLockSql(), "OPEN " + DatabaseLockSql(60000), "OPEN " + kSlotCountSql,
        "OPEN " + kColumnCountSql, kReleaseLock, "RELEASE"},
       "waiting up to 60 s for another run on this database to end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = Script();
    c.busy(script);  // answered before the ordinary answers
    ScriptDatabase();
    std::string said;
    entry::RunDependencies deps = WithRealRebuilders(Dependencies());
    deps.lockTimeoutSeconds = c.lockTimeout;
    deps.onLockWait = [&said](const std::string& text) { said = text; };
    const auto report = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
    EXPECT_EQ(report.outcome, c.outcome) << report.message;
    for (const auto& part : c.inMessage) {
      EXPECT_NE(report.message.find(part), std::string::npos) << report.message;
    }
    auto from = script.Log().begin();
    for (const auto& call : c.calls) {
      from = std::find(from, script.Log().end(), call);
      EXPECT_NE(from, script.Log().end()) << call;
    }
    EXPECT_EQ(said, c.waitSaid);
    const auto& log = script.Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& e) { return e.starts_with("EXEC SET LOCK"); }),
              c.lockTimeout > 0 ? 1 : 0);
    // Waiting without end still gives way in a deadlock.
    EXPECT_EQ(std::count(log.begin(), log.end(), kLowDeadlockPriority), 1);
  }
}

// The in-step path sends its three statements and nothing else, whatever
// the lock options.
TEST_F(WholeRun, InStepIsThreeStatementsWithALockTimeoutToo) {
  ScriptCounts(3, 3);
  entry::RunDependencies deps = Dependencies();
  deps.lockTimeoutSeconds = 30;
  EXPECT_EQ(entry::RunRestructure({"srv", "db", "sa", "pw"}, deps).outcome,
            entry::Outcome::kInStep);
  EXPECT_EQ(script.Statements(),
            (std::vector<std::string>{"OPEN " + kSizeSql, "OPEN " + kSlotCountSql,
                                      "OPEN " + kColumnCountSql}));
}

}  // namespace
}  // namespace slotsync::testing
