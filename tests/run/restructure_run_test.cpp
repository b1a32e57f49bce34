#include "entry/restructure_run.h"

#include "run_fixture.h"

namespace slotsync::testing {
namespace {

using entry::Outcome;
using Log = std::vector<std::string>;

const std::string kPrompt = "WINDOW PROMPT 正在重构数据库，请稍候...";

Log Concat(std::initializer_list<Log> parts) {
  Log all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Log kChecks = {"WINDOW CREATE", "CONNECT", "OPEN " + kSizeSql, "OPEN " + kSlotCountSql,
                     "OPEN " + kColumnCountSql};
// The window, then the settings the run writes under.
const Log kShowWindow = {kPrompt, "WINDOW ANIMATE", "WINDOW SHOW", "WINDOW REPAINT", kWriteSettings};
const Log kRelease = {"RELEASE", "WINDOW DESTROY"};

class RestructureRun : public RunFixture {};

TEST_F(RestructureRun, EmptySizeTableEndsAfterTheFirstStatement) {
  script.Answer(kSizeSql, Rows({"SizeID"}, {}));
  const auto report = RunIt();
  EXPECT_EQ(report.outcome, Outcome::kInStep);
  EXPECT_EQ(script.Log(), Concat({{"WINDOW CREATE", "CONNECT", "OPEN " + kSizeSql}, kRelease}));
}

TEST_F(RestructureRun, EqualCountsEndTheRunWithoutWindowOrTransaction) {
  ScriptCounts(12, 12);
  const auto report = RunIt();
  EXPECT_EQ(report.outcome, Outcome::kInStep);
  EXPECT_EQ(report.slotCount, 12);
  EXPECT_EQ(report.slotColumns, 12);
  EXPECT_TRUE(report.message.empty());
  EXPECT_EQ(script.Log(), Concat({kChecks, kRelease}));
}

TEST_F(RestructureRun, NoSizeGroupsAndNoStockDetailTempIsInStep) {
  script.Answer(kSizeSql, Rows({"SizeID"}, {{"1"}}));
  script.Answer(kSlotCountSql, Rows({"", "SizeGroupID"}, {}));
  script.Answer(kColumnCountSql, Column("", {"0"}));
  EXPECT_EQ(RunIt().outcome, Outcome::kInStep);
  EXPECT_EQ(script.Log(), Concat({kChecks, kRelease}));
}

TEST_F(RestructureRun, AnyDifferenceStartsTheWalk) {
  // More sizes than slots, fewer sizes than slots, and no StockDetailTemp.
  for (const auto& [n, m] : {std::pair{14, 12}, std::pair{8, 12}, std::pair{5, 0}}) {
    Script fresh;
    std::swap(script, fresh);
    ScriptCounts(n, m);
    ScriptFlagged({21});
    const auto report = RunIt();
    EXPECT_EQ(report.outcome, Outcome::kCommitted) << n << " " << m;
    EXPECT_EQ(script.Log(),
              Concat({kChecks, kLockAndRecheck,
                      {"OPEN " + kFlaggedSql, "OPEN " + kPreconditionSql},
                      kShowWindow,
                      {"START TRANSACTION", "DETAIL 21", "COMMIT", kReleaseLock, "DISCONNECT",
                       "WINDOW MESSAGES"},
                      kRelease}));
  }
}

TEST_F(RestructureRun, DifferentCountsWithNothingFlaggedCommitAnEmptyTransaction) {
  ScriptCounts(14, 12);
  ScriptFlagged({});
  const auto report = RunIt();
  EXPECT_EQ(report.outcome, Outcome::kCommitted);
  EXPECT_EQ(report.flaggedRows, 0);
  EXPECT_EQ(script.Log(),
            Concat({kChecks, kLockAndRecheck,
                    {"OPEN " + kFlaggedSql, "START TRANSACTION", "COMMIT", kReleaseLock},
                    kRelease}));
}

TEST_F(RestructureRun, DispatchesByTableTag) {
  ScriptCounts(14, 12);
  ScriptFlagged({99, 100, 400, 401, 500, 501, -1, 0});
  const auto report = RunIt();
  EXPECT_EQ(report.outcome, Outcome::kCommitted);
  EXPECT_EQ(report.flaggedRows, 8);
  EXPECT_EQ(report.rebuiltTables, 8);
  Log visits;
  for (const auto& entry : script.Log()) {
    if (entry.starts_with("DETAIL") || entry.starts_with("TERMINAL")) visits.push_back(entry);
  }
  EXPECT_EQ(visits, (Log{"DETAIL 99", "TERMINAL 100", "TERMINAL 400", "DETAIL 401", "DETAIL 500",
                         "TERMINAL 501", "DETAIL -1", "DETAIL 0"}));
}

TEST_F(RestructureRun, TheFirstFailureRollsBackAndLeavesLaterRowsUnvisited) {
  ScriptCounts(14, 12);
  ScriptFlagged({1, 2, 3, 4, 5});
  rebuildFailures[3] = "Invalid column name 'x_13'";
  const auto report = RunIt();
  EXPECT_EQ(report.outcome, Outcome::kRolledBack);
  EXPECT_EQ(report.failedTableTag, 3);
  EXPECT_EQ(report.rebuiltTables, 0);
  EXPECT_EQ(report.message, "TableTag 3: Invalid column name 'x_13'");
  EXPECT_EQ(script.Log(), Concat({kChecks, kLockAndRecheck,
                                  {"OPEN " + kFlaggedSql, "OPEN " + kPreconditionSql},
                                  kShowWindow,
                                  {"START TRANSACTION", "DETAIL 1", "DETAIL 2", "DETAIL 3",
                                   "ROLLBACK", kReleaseLock, "DISCONNECT", "WINDOW MESSAGES"},
                                  kRelease}));
}

TEST_F(RestructureRun, EndOfTransactionFailures) {
  struct Case {
    const char* name;
    std::function<void(Script&)> fail;
    Outcome outcome;
    std::string message;
    Log tail;
  };
  const Case cases[] = {
      {"commit fails, rollback succeeds",
       [](Script& s) { s.FailCommit("The transaction log is full"); },
       Outcome::kRolledBack,
       "commit failed: The transaction log is full",
       {"COMMIT", "ROLLBACK", kReleaseLock, "DISCONNECT"}},
      {"link breaks during the commit",
       [](Script& s) {
         s.FailCommit("Communication link failure", "08S01");
         s.FailRollback("Communication link failure", "08S01");
       },
       Outcome::kCommitUnknown,
       "commit failed: Communication link failure\nrollback failed: Communication link failure",
       {"COMMIT", "ROLLBACK", kReleaseLock, "DISCONNECT"}},
      {"disconnect fails after a commit",
       [](Script& s) { s.FailDisconnect("Connection is busy"); },
       Outcome::kCommitted,
       "disconnect failed: Connection is busy",
       {"COMMIT", kReleaseLock, "DISCONNECT"}},
  };
  for (const auto& c : cases) {
    Script fresh;
    std::swap(script, fresh);
    ScriptCounts(14, 12);
    ScriptFlagged({21});
    c.fail(script);
    const auto report = RunIt();
    EXPECT_EQ(report.outcome, c.outcome) << c.name;
    EXPECT_EQ(report.message, c.message) << c.name;
    const Log expected = Concat({kChecks, kLockAndRecheck,
                                 {"OPEN " + kFlaggedSql, "OPEN " + kPreconditionSql},
                                 kShowWindow,
                                 {"START TRANSACTION", "DETAIL 21"},
                                 c.tail,
                                 {"WINDOW MESSAGES"},
                                 kRelease});
    EXPECT_EQ(script.Log(), expected) << c.name;
  }
}

TEST_F(RestructureRun, AFailingRollbackIsRecordedToo) {
  ScriptCounts(14, 12);
  ScriptFlagged({21});
  rebuildFailures[21] = "boom";
  script.FailRollback("rollback refused");
  const auto report = RunIt();
  EXPECT_EQ(report.outcome, Outcome::kRolledBack);
  EXPECT_EQ(report.message, "TableTag 21: boom\nrollback failed: rollback refused");
}

TEST_F(RestructureRun, FailuresBeforeTheTransactionLeaveAfterTheRelease) {
  struct Case {
    const char* name;
    std::function<void(Script&)> fail;
    Log expected;
  };
  const Case cases[] = {
      {"refused connection",
       [](Script& s) { s.FailConnect("Login failed for user 'sa'."); },
       {"WINDOW CREATE", "CONNECT", "RELEASE", "WINDOW DESTROY"}},
      {"missing Size table",
       [](Script& s) { s.Fail(kSizeSql, "Invalid object name 'Size'."); },
       {"WINDOW CREATE", "CONNECT", "OPEN " + kSizeSql, "RELEASE", "WINDOW DESTROY"}},
      {"size count fails",
       [](Script& s) {
         s.Answer(kSizeSql, Rows({"SizeID"}, {{"1"}}));
         s.Fail(kSlotCountSql, "Invalid object name 'SizeGroup'.");
       },
       {"WINDOW CREATE", "CONNECT", "OPEN " + kSizeSql, "OPEN " + kSlotCountSql, "RELEASE",
        "WINDOW DESTROY"}},
      {"start transaction fails after the window was shown",
       [](Script& s) {
         s.Answer(kSizeSql, Rows({"SizeID"}, {{"1"}}));
         s.Answer(kSlotCountSql, Rows({"", "SizeGroupID"}, {{"14", "1"}}));
         s.Answer(kColumnCountSql, Column("", {"12"}));
         s.Answer(DatabaseLockSql(), Column("", {"0"}));
         s.Answer(kFlaggedSql, Rows({"TableTag"}, {{"21"}}));
         s.FailStartTransaction("no");
       },
       Concat({kChecks, kLockAndRecheck,
               {"OPEN " + kFlaggedSql, "OPEN " + kPreconditionSql},
               kShowWindow,
               {"START TRANSACTION", kReleaseLock},
               kRelease})},
  };
  for (const auto& c : cases) {
    Script fresh;
    std::swap(script, fresh);
    c.fail(script);
    const auto report = RunIt();
    EXPECT_EQ(report.outcome, Outcome::kFailedBeforeTransaction) << c.name;
    EXPECT_FALSE(report.message.empty()) << c.name;
    EXPECT_EQ(script.Log(), c.expected) << c.name;
  }
}

// What the database and the login lack is found before the window shows and
// before the transaction: nothing is locked, every problem is named.
TEST_F(RestructureRun, PreconditionsRefuseBeforeTheTransaction) {
  struct Case {
    const char* name;
    // collation, schema, create, alter, update, execute[, encryption]
    std::vector<sql::Value> answer;
    std::int32_t n = 14;
    std::vector<std::int32_t> flagged = {21};
    std::string says;                 // part of the message; empty: the run goes on
    bool catalogIgnoresCase = false;  // the catalog finds SYSCOLUMNS and COLORDER
  };
  const Case cases[] = {
      {"all there", {"Chinese_PRC_CI_AS", "dbo", "1", "1", "1", "1"}, 14, {21}, ""},
      {"unknowns pass",
       {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
       14,
       {21},
       ""},
      {"case-sensitive",
       {"Chinese_PRC_CS_AS", "dbo", "1", "1", "1", "1"},
       14,
       {21},
       "collation Chinese_PRC_CS_AS tells names apart by case"},
      {"binary", {"Chinese_PRC_BIN2", "dbo", "1", "1", "1", "1"}, 14, {21}, "Chinese_PRC_BIN2"},
      {"case-sensitive, but the catalog finds the names whatever their case",
       {"Chinese_PRC_CS_AS", "dbo", "1", "1", "1", "1"},
       14,
       {21},
       "",
       true},
      {"schema",
       {"Latin1_General_CI_AS", "shop", "1", "1", "1", "1"},
       14,
       {21},
       "default schema is shop"},
      {"no create",
       {"Latin1_General_CI_AS", "dbo", "0", "1", "1", "1"},
       14,
       {21},
       "may not create, alter, drop and rename tables"},
      {"no alter",
       {"Latin1_General_CI_AS", "dbo", "1", "0", "1", "1"},
       14,
       {21},
       "may not create, alter, drop and rename tables"},
      {"no update",
       {"Latin1_General_CI_AS", "dbo", "1", "1", "0", "1"},
       14,
       {21},
       "may not update S_Modify"},
      {"no execute",
       {"Latin1_General_CI_AS", "dbo", "1", "1", "1", "0"},
       14,
       {21},
       "may not execute dbo.CreateInvoiceDetailTrigger"},
      {"no execute, no detail table",
       {"Latin1_General_CI_AS", "dbo", "1", "1", "1", "0"},
       14,
       {101, 27},
       ""},
      {"absurd size group",
       {"Latin1_General_CI_AS", "dbo", "1", "1", "1", "1"},
       5000,
       {101},
       "need 5000 size slots, but a table holds at most 1024 columns"},
      {"encrypted", {"Chinese_PRC_CI_AS", "dbo", "1", "1", "1", "1", "TRUE"}, 14, {21}, ""},
      {"unencrypted",
       {"Chinese_PRC_CI_AS", "dbo", "1", "1", "1", "1", "FALSE"},
       14,
       {21},
       "the server reports this connection unencrypted although encryption was asked for"},
  };
  // Every run here asked for encryption; a server that knows no such
  // property (NULL, or no column) is not judged.
  requireEncryption = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = Script();
    ScriptCounts(c.n, 12);
    ScriptFlagged(c.flagged);
    std::vector<std::string> columns = {
        "DatabaseCollation", "DefaultSchema",     "CanCreateTable", "CanAlterSchema",
        "CanUpdateSModify",  "CanExecuteTrigger", "EncryptOption"};
    columns.resize(c.answer.size());
    script.Answer(kPreconditionSql, Rows(columns, {c.answer}));
    const std::string probe(entry::kNameResolutionSql);
    script.Answer(probe, c.catalogIgnoresCase ? Rows({"", ""}, {{"1234", "2"}})
                                              : Rows({"", ""}, {{std::nullopt, std::nullopt}}));
    const auto report = RunIt();
    const auto& log = script.Log();
    if (c.says.empty()) {
      EXPECT_EQ(report.outcome, Outcome::kCommitted) << report.message;
      continue;
    }
    EXPECT_EQ(report.outcome, Outcome::kFailedBeforeTransaction);
    EXPECT_NE(report.message.find(c.says), std::string::npos) << report.message;
    std::vector<std::string> reads = {"OPEN " + kFlaggedSql, "OPEN " + kPreconditionSql};
    // Only a collation that tells case apart has the catalog asked.
    if (report.message.find("tells names apart") != std::string::npos) {
      reads.push_back("OPEN " + probe);
    }
    reads.push_back(kReleaseLock);
    EXPECT_EQ(log, Concat({kChecks, kLockAndRecheck, reads, kRelease}));
  }
}

// On a case-sensitive database the change check itself fails ("sysColumns"
// is no name there); only then is the collation read, to say why.
TEST_F(RestructureRun, AFailedChangeCheckOnACaseSensitiveDatabaseSaysSo) {
  for (const auto& [collation, says] :
       {std::pair{"Chinese_PRC_BIN", "collation Chinese_PRC_BIN tells names apart by case"},
        std::pair{"Chinese_PRC_CI_AS", "Invalid object name 'sysColumns'."}}) {
    script = Script();
    script.Answer(kSizeSql, Rows({"SizeID"}, {{"1"}}));
    script.Answer(kSlotCountSql, Rows({"", "SizeGroupID"}, {{"4", "1"}}));
    script.Fail(kColumnCountSql, "Invalid object name 'sysColumns'.", "42S02", 208);
    script.Answer(std::string(entry::kCollationSql), Column("", {collation}));
    const auto report = RunIt();
    EXPECT_EQ(report.outcome, Outcome::kFailedBeforeTransaction);
    EXPECT_NE(report.message.find(says), std::string::npos) << report.message;
    EXPECT_EQ(script.Log(),
              Concat({kChecks, {"OPEN " + std::string(entry::kCollationSql)}, kRelease}));
  }
}

TEST_F(RestructureRun, ADryRunRollsBackInsteadOfCommitting) {
  dryRun = true;
  ScriptCounts(14, 12);
  ScriptFlagged({21, 101});
  const auto report = RunIt();
  EXPECT_EQ(report.outcome, Outcome::kPreviewed);
  EXPECT_EQ(report.rebuiltTables, 2);
  EXPECT_EQ(script.Log(), Concat({kChecks, kLockAndRecheck,
                                  {"OPEN " + kFlaggedSql, "OPEN " + kPreconditionSql},
                                  kShowWindow,
                                  {"START TRANSACTION", "DETAIL 21", "TERMINAL 101", "ROLLBACK",
                                   kReleaseLock, "DISCONNECT", "WINDOW MESSAGES"},
                                  kRelease}));
}

TEST_F(RestructureRun, ASecondRunWhileOneIsInProgressIsBusyAndTouchesNothing) {
  ScriptCounts(14, 12);
  ScriptFlagged({21});
  entry::RunReport inner;
  duringRebuild = [&] {
    entry::RunDependencies deps = Dependencies();
    inner = entry::RunRestructure({"other", "db", "u", "p"}, deps);
  };
  const auto outer = RunIt();
  EXPECT_EQ(inner.outcome, Outcome::kBusy);
  EXPECT_EQ(inner.message, "another restructure run is in progress in this process");
  EXPECT_EQ(clientsMade.size(), 1u);  // the inner call made no connection
  EXPECT_EQ(outer.outcome, Outcome::kCommitted);
  // And once the first run is over, the next one may start.
  EXPECT_EQ(RunIt().outcome, Outcome::kCommitted);
}

TEST_F(RestructureRun, BuildsItsConnectionFromTheFourArgumentsInOrder) {
  script.Answer(kSizeSql, Rows({"SizeID"}, {}));
  RunIt();
  ASSERT_EQ(clientsMade.size(), 1u);
  const auto& settings = clientsMade[0];
  EXPECT_EQ(settings.name, "SizeTessera");
  EXPECT_EQ(settings.driverName, "MSSQL");
  EXPECT_FALSE(settings.loginPrompt);
  EXPECT_TRUE(settings.keepConnection);
  EXPECT_TRUE(settings.readCommitted);
  EXPECT_EQ(settings.parameters,
            (Log{"DATABASE NAME=db", "SERVER NAME=srv", "USER NAME=sa", "PASSWORD=pw"}));
  EXPECT_EQ(settings.Parameter("PASSWORD"), "pw");
}

}  // namespace
}  // namespace slotsync::testing
