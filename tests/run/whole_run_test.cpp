// A whole run with the real rebuilders over the scripted connection: every
// flagged table is rebuilt inside one transaction, and the flags are cleared
// in that same transaction.

#include "entry/restructure_run.h"
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
        return (entry.starts_with("EXEC ") && entry != kReleaseLock) ||
               entry == "START TRANSACTION" ||
               entry.find("TabLockX") != std::string::npos;
      }));
    } else {
      EXPECT_EQ(*std::prev(notice), "ROLLBACK");
    }
  }
}

}  // namespace
}  // namespace slotsync::testing
