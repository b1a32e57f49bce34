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
  void ScriptDatabase() {
    ScriptCounts(3, 2);
    ScriptFlagged({10, 101, 111});
    DetailScenario{}.Apply(script);
    for (const std::int32_t tag : {101, 111}) {
      TerminalScenario terminal;
      terminal.tag = tag;
      terminal.tableName = terminal.dictTableName = "Term" + std::to_string(tag);
      terminal.slotCount = 3;
      ScriptTerminalDictionary(script, terminal);
    }
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

}  // namespace
}  // namespace slotsync::testing
