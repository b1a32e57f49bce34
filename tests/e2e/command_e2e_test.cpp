// The slotsync command run as a user runs it, through the real ODBC client
// and unixODBC, against the scripted driver: its exit code, what it prints,
// and the statements and transaction calls that reached the driver.

#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "e2e_fixture.h"
#include "entry/run_locks.h"
#include "entry/session_settings.h"
#include "entry/version.h"
#include "rebuild/online_detail.h"
#include "run_schema.h"
#include "text/messages.h"

namespace slotsync::e2e {
namespace {

using scripted_odbc::Call;
using testing::FourTables;
using testing::kColumnCountSql;
using testing::kFlaggedSql;
using testing::kSizeSql;
using testing::kSlotCountSql;

// The line of the check before the transaction, with the four tables of
// FourTables; the application's Chinese prompt is no line among English
// messages.
const std::string kPromptLine = "slotsync: checking 4 tables: rights, room, dependents";

bool Mentions(const std::vector<std::string>& statements, const std::string& part) {
  return std::any_of(statements.begin(), statements.end(),
                     [&](const std::string& s) { return s.find(part) != std::string::npos; });
}

using SlotsyncCommand = EndToEnd;

TEST_P(SlotsyncCommand, AnInStepDatabaseEndsAfterTheCountsWithoutATransaction) {
  ScriptCounts(3, 3);
  Record();
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "in step: N=3, StockDetailTemp has 3 slot columns; nothing to do\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Attributes(),
            (std::vector<std::string>{"Driver=" + DriverPath(), "Server=srv", "Database=Shop",
                                      "UID=sa", "PWD=pw", std::string("APP=slotsync ") + kVersion,
                                      "Encrypt=yes", "TrustServerCertificate=yes"}));
  const std::vector<std::string> expected = {"CONNECT", "EXEC " + kSizeSql, "EXEC " + kSlotCountSql,
                                             "EXEC " + kColumnCountSql, "DISCONNECT"};
  EXPECT_EQ(DriverEvents(), expected);
  EXPECT_EQ(DriverLogOf(recordedLog), expected);
}

// sqlcmd's logins: each reaches the connection string in the keyword the
// driver takes, and no other login's attributes come with it.
TEST_P(SlotsyncCommand, SqlcmdLoginsReachTheConnectionString) {
  ScriptCounts(3, 3);
  Record();
  std::ofstream(directory_.Path() / "odbc.ini")
      << "[ShopServer]\nDriver=" << DriverPath() << "\nServer=srv\n";
  const std::vector<std::string> encrypted = {kApp, "Encrypt=yes", "TrustServerCertificate=yes"};
  const auto with = [&encrypted](std::vector<std::string> attributes) {
    attributes.insert(attributes.end(), encrypted.begin(), encrypted.end());
    return attributes;
  };
  const struct {
    std::vector<std::string> args;
    EnvironmentChanges environment;
    std::vector<std::string> attributes;
  } cases[] = {
      // Windows authentication: no user, no password, none read.
      {{"-S", "srv", "-d", "Shop", "-E"},
       {},
       with({"Driver=" + DriverPath(), "Server=srv", "Database=Shop", "Trusted_Connection=yes"})},
      // The data source names the driver and the server.
      {{"--dsn", "ShopServer", "-d", "Shop", "-U", "sa"},
       {{"SQLCMDSERVER", "elsewhere"}},
       with({"DSN=ShopServer", "Database=Shop", "UID=sa", "PWD=pw"})},
      {{"--dsn=ShopServer", "-d", "Shop", "--trusted-connection"},
       {},
       with({"DSN=ShopServer", "Database=Shop", "Trusted_Connection=yes"})},
      // sqlcmd's variables stand in for what the command line leaves out.
      {{},
       {{"SQLCMDSERVER", "srv"},
        {"SQLCMDDBNAME", "Shop"},
        {"SQLCMDUSER", "sa"},
        {"SQLCMDPASSWORD", "pw"},
        {"SLOTSYNC_PASSWORD", std::nullopt}},
       with({"Driver=" + DriverPath(), "Server=srv", "Database=Shop", "UID=sa", "PWD=pw"})},
      // What the command line gives wins; -E takes no user from SQLCMDUSER.
      {{"-S", "srv", "-E"},
       {{"SQLCMDSERVER", "elsewhere"}, {"SQLCMDDBNAME", "Shop"}, {"SQLCMDUSER", "clerk"}},
       with({"Driver=" + DriverPath(), "Server=srv", "Database=Shop", "Trusted_Connection=yes"})},
  };
  for (const auto& c : cases) {
    EnvironmentChanges environment = Environment();
    for (const auto& [name, value] : c.environment) environment[name] = value;
    std::vector<std::string> args = {Built::Command(), "--lock-timeout", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::filesystem::remove(LogPath());
    const ProgramRun run = RunProgram(args, environment);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Attributes(), c.attributes) << c.args.size();
  }
}

TEST_P(SlotsyncCommand, FlaggedDetailAndTerminalTablesAreRebuiltAndCommitted) {
  FourTables().Apply(*this);
  Record();
  ASSERT_EQ(recorded.outcome, entry::Outcome::kCommitted) << recorded.message;
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "committed: N=3, StockDetailTemp still has 2 slot columns (it was not flagged); 4 of 4 "
            "flagged tables rebuilt\n");
  // The rows lost by design, named by the tables that held them.
  EXPECT_EQ(run.err, kPromptLine +
                         "\nslotsync: TableTag 101 recreated empty by design: TermCount 3\n"
                         "slotsync: TableTag 600 recreated empty by design: TermReport 3\n");

  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  // The transaction: begun once, before the first rebuild, and committed
  // once after the last flag was cleared; never rolled back.
  const auto begin = std::find(events.begin(), events.end(), "SET AUTOCOMMIT OFF");
  ASSERT_NE(begin, events.end());
  EXPECT_EQ(*std::prev(begin), "SET ISOLATION READ COMMITTED");
  // Before it, the flagged rows, the checks of the database and of every
  // table: reads only; then the settings the run writes under.
  const auto flagged = std::find(events.begin(), begin, "EXEC " + kFlaggedSql);
  ASSERT_NE(flagged, begin);
  EXPECT_EQ(*std::next(flagged), "EXEC " + testing::kPreconditionSql);
  EXPECT_EQ(*std::prev(begin, 2), "EXEC " + std::string(entry::kWriteSettingsSql));
  EXPECT_TRUE(std::all_of(flagged, std::prev(begin, 2), [](const std::string& event) {
    return event.starts_with("EXEC Select ");
  }));
  EXPECT_EQ(
      std::vector<std::string>(events.end() - 5, events.end()),
      (std::vector<std::string>{"EXEC Update S_Modify Set Modified=0 Where TableTag=600", "COMMIT",
                                "SET AUTOCOMMIT ON", kReleaseShopLock, "DISCONNECT"}));
  EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "ROLLBACK"), 0);
  const std::vector<std::string> statements = Statements(events);
  for (const std::int32_t tag : {10, 101, 450, 600}) {
    EXPECT_TRUE(Mentions(statements,
                         "Update S_Modify Set Modified=0 Where TableTag=" + std::to_string(tag)))
        << tag;
  }
  // The Chinese column name arrived as the character it is.
  EXPECT_TRUE(Mentions(statements, "\xE5\xA4\x87\xE6\xB3\xA8 Varchar(20) Null"));
  EXPECT_TRUE(Mentions(statements,
                       "Create Table TermReport(ReportID Int Identity(1,1) Not Null,"
                       "TerminalName Varchar(40) Null ,[F] Int Null ,"
                       "[T1_x_1] Integer Null Default(0)"));
}

// Online: the copy outside the transaction, said on standard error, and one
// cut-over transaction for the detail and the per-terminal table.
TEST_P(SlotsyncCommand, AnOnlineRunCopiesFirstAndCutsOverInOneTransaction) {
  ScriptCounts(3, 2);
  ScriptFlagged({10, 101});
  testing::DetailScenario().Apply(script);
  testing::TerminalScenario terminal;
  terminal.slotCount = 3;
  testing::ScriptTerminalDictionary(script, terminal);
  const rebuild::OnlineCopy copy = testing::StockDetailCopy();
  script.Answer(rebuild::BatchBoundQuery(copy, nullptr, 2000),
                testing::Rows({"", ""}, {{"5", "k5"}}));
  const sql::ResultSet sums = testing::Rows({"", "", ""}, {{"5", "7", "9"}});
  script.Answer(rebuild::CutOverCheckQuery(copy, false), sums);
  script.Answer(rebuild::CutOverCheckQuery(copy, true), sums);
  online = true;
  Record();
  ASSERT_EQ(recorded.outcome, entry::Outcome::kCommitted) << recorded.message;
  const ProgramRun run = Command({"--online"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "committed: N=3, StockDetailTemp still has 2 slot columns (it was not flagged); 2 of 2 "
            "flagged tables rebuilt\n");
  EXPECT_NE(run.err.find("slotsync: StockDetail: 5 rows copied in 1 batch\n"), std::string::npos)
      << run.err;
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  // The new table and its capture, then the cut-over: two transactions.
  EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), 2);
  EXPECT_EQ(std::count(events.begin(), events.end(), "ROLLBACK"), 0);
  const auto cutOver =
      std::find(events.begin(), events.end(), "EXEC " + rebuild::CutOverCheckQuery(copy, false));
  ASSERT_NE(cutOver, events.end());
  EXPECT_EQ(*std::prev(cutOver), "SET AUTOCOMMIT OFF");
  EXPECT_TRUE(Mentions({cutOver, events.end()}, "Drop Table TermCount"));
}

TEST_P(SlotsyncCommand, AFailureInTheMiddleRollsBackAndNothingFollowsButTheRollback) {
  FourTables().Apply(*this);
  const std::string failing =
      "CREATE  INDEX [IX_TermCount_Terminal] ON [dbo].[TermCount]([TerminalName]) ON [PRIMARY] ";
  const std::string message =
      "The operation failed because an index or statistics with name 'IX_TermCount_Terminal' "
      "already exists on table 'TermCount'.";
  script.Fail(failing, message, "42S11");
  Record();
  ASSERT_EQ(recorded.outcome, entry::Outcome::kRolledBack);
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kPromptLine +
                         "\nrolled back: N=3, StockDetailTemp has 2 slot columns; nothing was "
                         "changed\nslotsync: TableTag 101: " +
                         message + " (SQLSTATE 42S11, native error 0)\n" + kRolledBackNext);
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  EXPECT_EQ(std::vector<std::string>(events.end() - 5, events.end()),
            (std::vector<std::string>{"EXEC " + failing, "ROLLBACK", "SET AUTOCOMMIT ON",
                                      kReleaseShopLock, "DISCONNECT"}));
  EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), 0);
  // The tables after the failing one were not visited in the transaction
  // (the check before it read them all).
  const auto begin = std::find(events.begin(), events.end(), "SET AUTOCOMMIT OFF");
  const std::vector<std::string> statements = Statements({begin, events.end()});
  EXPECT_FALSE(Mentions(statements, "TableTag=450"));
  EXPECT_FALSE(Mentions(statements, "TableTag=600"));
}

TEST_P(SlotsyncCommand, ARefusedConnectionFailsBeforeAnything) {
  writer.FailCall(Call::kConnect, "28000", "Login failed for user 'sa'.");
  Save();
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "could not run; nothing was changed\nslotsync: Login failed for user 'sa'. (SQLSTATE "
            "28000, native error 0)\n" +
                kCouldNotRunNext);
  EXPECT_EQ(DriverEvents(), std::vector<std::string>{"CONNECT"});
  EXPECT_EQ(Attributes().size(), 8u);
}

TEST_P(SlotsyncCommand, ADriverEchoingItsConnectionStringLeavesThePasswordOutOfEveryOutput) {
  writer.FailCall(Call::kConnect, "28000", "Login failed with pw: {connection string}");
  Save();
  const std::filesystem::path log = ScenarioPath().parent_path() / "audit.jsonl";
  const ProgramRun run = Command({"--json", "--log", log.string()});
  EXPECT_EQ(run.exitCode, 2);
  std::ifstream file(log);
  const std::string logged((std::istreambuf_iterator<char>(file)), {});
  EXPECT_NE(run.err.find("Login failed with ***: Driver={"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(";PWD=***;"), std::string::npos) << run.err;
  for (const std::string& text : {run.out, run.err, logged, Host().out}) {
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("pw"), std::string::npos) << text;
  }
}

// --password-stdin takes its line and not a byte more: what follows is the
// next reader's. A log that cannot be opened refuses the run before it
// reaches the driver.
TEST_P(SlotsyncCommand, ThePasswordLineIsAllItReadsAndAnUnopenableLogRefusesTheRun) {
  ScriptCounts(3, 3);
  Record();
  const ProgramRun run = RunProgram({"/bin/sh", "-c", "\"$0\" \"$@\" && cat", Built::Command(),
                                     "-S", "srv", "-d", "Shop", "-U", "sa", "--password-stdin"},
                                    Environment(), "s3cret\r\nthe next reader's line\n");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "in step: N=3, StockDetailTemp has 3 slot columns; nothing to do\n"
            "the next reader's line\n");
  EXPECT_NE(std::find(Attributes().begin(), Attributes().end(), "PWD=s3cret"), Attributes().end());

  std::filesystem::remove(LogPath());
  const std::string log = (directory_.Path() / "no-such-dir" / "runs.jsonl").string();
  const ProgramRun refused = Command({"--log", log});
  EXPECT_EQ(refused.exitCode, 74);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err.rfind("slotsync: the log " + log + " could not be opened: ", 0), 0u)
      << refused.err;
  EXPECT_EQ(DriverLog(), std::vector<std::string>{});
}

TEST_P(SlotsyncCommand, ADryRunSendsEverythingAndRollsBack) {
  FourTables().Apply(*this);
  Record(/*dryRun=*/true);
  ASSERT_EQ(recorded.outcome, entry::Outcome::kPreviewed) << recorded.message;
  const ProgramRun run = Command({"--dry-run"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  EXPECT_EQ(
      std::vector<std::string>(events.end() - 5, events.end()),
      (std::vector<std::string>{"EXEC Update S_Modify Set Modified=0 Where TableTag=600",
                                "ROLLBACK", "SET AUTOCOMMIT ON", kReleaseShopLock, "DISCONNECT"}));
  EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), 0);
  // The plan as printed is the statements as sent, in order.
  std::vector<std::string> expected = TraceOf(Statements(events));
  expected.push_back(
      "dry run: N=3, StockDetailTemp has 2 slot columns; 4 of 4 flagged tables would be rebuilt; "
      "rolled back, nothing was changed");
  EXPECT_EQ(Lines(run.out), expected);
}

TEST_P(SlotsyncCommand, TracePrintsEveryStatementWithItsOutcome) {
  FourTables().Apply(*this);
  // The old per-terminal table is not there: its drop fails and is passed over.
  const std::string drop = "Drop Table TermCount";
  script.Fail(drop, "Cannot drop the table 'TermCount', because it does not exist.", "42S02");
  Record();
  const ProgramRun run = Command({"--trace"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> statements = Statements(DriverEvents());
  EXPECT_TRUE(Mentions(statements, drop));
  EXPECT_EQ(Traced(run), TraceOf(statements, {drop}));
  EXPECT_EQ(Lines(run.out).back(),
            "committed: N=3, StockDetailTemp still has 2 slot columns (it was not flagged); 4 of 4 "
            "flagged tables rebuilt");
}

TEST_P(SlotsyncCommand, ACommitLostWithTheLinkIsReportedAsUnknown) {
  FourTables().Apply(*this);
  Record();
  writer.FailCall(Call::kCommit, "08S01", "Communication link failure");
  Save();
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.err, kPromptLine +
                         "\ncommit outcome unknown: the connection broke during the commit\n"
                         "slotsync: commit failed: Communication link failure (SQLSTATE 08S01, "
                         "native error 0)\nslotsync: look at S_Modify before running again: "
                         "tables still flagged Modified=1 mean the commit did not take (run "
                         "again), Modified=0 that it did (nothing to do)\n");
  const std::vector<std::string> events = DriverEvents();
  // The client rolls back what the failed commit may have left and turns
  // autocommit back on; the run then rolls back once more, as it does after
  // any failure inside its transaction.
  EXPECT_EQ(std::vector<std::string>(events.end() - 8, events.end()),
            (std::vector<std::string>{"EXEC Update S_Modify Set Modified=0 Where TableTag=600",
                                      "COMMIT", "ROLLBACK", "SET AUTOCOMMIT ON", "ROLLBACK",
                                      "SET AUTOCOMMIT ON", kReleaseShopLock, "DISCONNECT"}));
}

// The rollback itself failing: the run still ends and says what failed. The
// client's second rollback and its disconnect fail as well (the transaction
// the driver holds is still open), and both are on record.
TEST_P(SlotsyncCommand, AFailingRollbackIsReportedWithTheFailureBeforeIt) {
  FourTables().Apply(*this);
  script.Fail("Alter Table OrderDetail_U Add Primary Key (OrderDetailID)",
              "Table 'OrderDetail_U' already has a primary key defined on it.", "42000");
  Record();
  writer.FailCall(Call::kRollback, "HY000", "The rollback was refused.");
  Save();
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err,
            kPromptLine +
                "\nrolled back: N=3, StockDetailTemp has 2 slot columns; nothing was "
                "changed\nslotsync: TableTag 450: Table 'OrderDetail_U' already has a primary "
                "key defined on it. (SQLSTATE 42000, native error 0)\n"
                "slotsync: rollback failed: The rollback was refused. (SQLSTATE HY000, native "
                "error 0)\n"
                "slotsync: disconnect failed: [scripted] invalid transaction state: a "
                "transaction is open (SQLSTATE 25000, native error 0)\n" +
                kRolledBackNext);
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(std::vector<std::string>(events.end() - 7, events.end()),
            (std::vector<std::string>{
                "EXEC Alter Table OrderDetail_U Add Primary Key (OrderDetailID)", "ROLLBACK",
                "ROLLBACK", kReleaseShopLock, "DISCONNECT", "ROLLBACK", "DISCONNECT"}));
  EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), 0);
}

// A disconnect that fails after the commit: the work is committed, and the
// failure is printed after the summary.
TEST_P(SlotsyncCommand, AFailingDisconnectAfterTheCommitIsReportedButTheRunStands) {
  FourTables().Apply(*this);
  Record();
  writer.FailCall(Call::kDisconnect, "08S01", "Communication link failure", /*once=*/true);
  Save();
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "committed: N=3, StockDetailTemp still has 2 slot columns (it was not flagged); 4 of 4 "
            "flagged tables rebuilt\n");
  EXPECT_EQ(run.err, kPromptLine +
                         "\nslotsync: disconnect failed: Communication link failure (SQLSTATE "
                         "08S01, native error 0)\nslotsync: TableTag 101 recreated empty by "
                         "design: TermCount 3\nslotsync: TableTag 600 recreated empty by design: "
                         "TermReport 3\n");
  const std::vector<std::string> events = DriverEvents();
  // The client closes a link whose disconnect failed once more, after
  // rolling back whatever may be open.
  EXPECT_EQ(std::vector<std::string>(events.end() - 6, events.end()),
            (std::vector<std::string>{"COMMIT", "SET AUTOCOMMIT ON", kReleaseShopLock, "DISCONNECT",
                                      "ROLLBACK", "DISCONNECT"}));
}

TEST_P(SlotsyncCommand, AFallenSizeCountWithQuantitiesInTheDroppedSlotsIsRefused) {
  FourTables tables;
  tables.stockDetail.xColumns = {"x_1", "x_2", "x_3", "x_4"};
  tables.stockDetail.sizeText = "1.0.2.1";
  tables.stockDetail.quantitiesAboveN = "2";
  tables.Apply(*this);
  Record();
  ASSERT_EQ(recorded.outcome, entry::Outcome::kFailedBeforeTransaction);
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 2);
  const std::string notice =
      Utf8(std::string(ui::kNoticeCaption)) + ": " +
      "\xE5\xB0\xBA\xE7\xA0\x81\xE7\xBB\x84\xE5\x8C\x85\xE5\x90\xAB\xE5\xB0\xBA\xE7\xA0\x81\xE6"
      "\x95\xB0\xE9\x87\x8F\xE5\x8F\x98\xE5\xB0\x91\xEF\xBC\x8C\xE9\x85\x8D\xE7\xA0\x81\xE9\x9C"
      "\x80\xE7\x9B\xB8\xE5\xBA\x94\xE4\xBF\xAE\xE6\x94\xB9\n\xE4\xB8\x8D\xE8\x83\xBD\xE8\x87\xAA"
      "\xE5\x8A\xA8\xE4\xBF\xAE\xE6\x94\xB9\xEF\xBC\x8C\xE8\xAF\xB7\xE8\x81\x94\xE7\xB3\xBB\xE4"
      "\xBE\x9B\xE8\xB4\xA7\xE5\x95\x86\xE8\xBF\x9B\xE8\xA1\x8C\xE4\xBF\xAE\xE6\x94\xB9";
  // Found before anything is locked: after the check's line the notice
  // comes first, and the run never begins its transaction.
  EXPECT_EQ(run.err,
            kPromptLine + "\n" + notice +
                "\nnotice: a size group now has fewer sizes than the stored size texts hold; the "
                "size texts must be corrected by hand: ask your supplier"
                "\ncould not run; nothing was changed\nslotsync: the run cannot start; "
                "nothing was changed:\nslotsync:   - TableTag 10: StockDetail: 2 rows hold "
                "quantities in x_4, above the 3 size slots the size groups need now; "
                "move them to lower slots or add sizes back to the size groups\n" +
                kCouldNotRunNext);
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  EXPECT_EQ(std::count(events.begin(), events.end(), "SET AUTOCOMMIT OFF"), 0);
  const std::vector<std::string> statements = Statements(events);
  EXPECT_FALSE(Mentions(statements, "TabLockX"));
  EXPECT_FALSE(Mentions(statements, "Drop Table"));
  EXPECT_FALSE(Mentions(statements, "Create Table"));
}

// What the server says decides, not only the driver's return code; and a
// failure the rebuild may pass over never lets the run go on without its
// transaction.
struct ServerSays {
  const char* name;
  std::function<void(testing::Script&)> script;
  // Turns the recorded scenario into what the driver answers (a failure
  // handed over "with information", say); identity when empty.
  std::pair<std::string, std::string> rewrite;
  int exitCode;
  std::string lastStatement;  // sent before the run ended ("" when committed)
  std::string traced;         // a line --trace prints, if any
};

TEST_P(SlotsyncCommand, ServerMessagesAndLostTransactionsDecideTheOutcome) {
  const std::string trigger = "Exec CreateInvoiceDetailTrigger 10";
  const std::string raised = "Trigger could not be created";
  const std::string rename = "sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'";
  const std::string caution =
      "Caution: Changing any part of an object name could break scripts and stored procedures.";
  const std::string drop = "Drop Table TermCount";
  const std::string deadlock = "Transaction (Process ID 52) was deadlocked on lock resources";
  const ServerSays cases[] = {
      {"an error handed over as information",
       [&](testing::Script& s) { s.Fail(trigger, raised, "42000", 50000); },
       {"fail 42000:50000 ", "info 42000:50000 "},
       1,
       trigger,
       ""},
      {"an error as information in a later result",
       [&](testing::Script& s) { s.Fail(trigger, raised, "42000", 50000); },
       {"fail 42000:50000 ", "more\ninfo 42000:50000 "},
       1,
       trigger,
       ""},
      {"sp_rename's caution is a warning",
       [&](testing::Script& s) {
         s.Warn(rename, {"01000", 15477, caution});
       },
       {},
       0,
       "",
       "  [warning] " + caution + " (SQLSTATE 01000, native error 15477)"},
      {"an ignored drop chosen as deadlock victim gives way",
       [&](testing::Script& s) { s.Fail(drop, deadlock, "40001", 1205); },
       {},
       5,
       drop,
       ""},
      {"an ignored drop after which no transaction is open",
       [&](testing::Script& s) {
         s.Fail(drop, "Cannot drop the table 'TermCount'", "42S02", 3701);
         s.Answer(std::string(sql::kTransactionStateSql), testing::Column("", {"0"}));
       },
       {},
       1,
       std::string(sql::kTransactionStateSql),
       ""},
      {"a case-sensitive database is refused before the transaction",
       [&](testing::Script& s) {
         s.Answer(testing::kPreconditionSql,
                  testing::Rows({"DatabaseCollation"}, {{"Chinese_PRC_BIN"}}));
       },
       {},
       2,
       std::string(entry::kNameResolutionSql),
       ""},
      {"a case-sensitive database whose catalog finds the names runs",
       [&](testing::Script& s) {
         s.Answer(testing::kPreconditionSql,
                  testing::Rows({"DatabaseCollation"}, {{"Chinese_PRC_CS_AS"}}));
         s.Answer(std::string(entry::kNameResolutionSql), testing::Rows({"", ""}, {{"1234", "2"}}));
       },
       {},
       0,
       "",
       ""},
      {"a lock wait that ran out",
       [&](testing::Script& s) {
         s.Fail("Select Count(*) From StockDetail With (TabLockX, HoldLock)",
                "Lock request time out period exceeded.", "HY000", 1222);
       },
       {},
       5,
       "Select Count(*) From StockDetail With (TabLockX, HoldLock)",
       ""},
  };
  for (const ServerSays& c : cases) {
    SCOPED_TRACE(c.name);
    script = testing::Script();
    writer = scripted_odbc::ScenarioWriter();
    // The case's answers first: answers are given in turn.
    c.script(script);
    FourTables().Apply(*this);
    Record();
    std::string scenario = writer.Text();
    if (!c.rewrite.first.empty()) {
      const std::size_t at = scenario.find(c.rewrite.first);
      ASSERT_NE(at, std::string::npos);
      scenario.replace(at, c.rewrite.first.size(), c.rewrite.second);
    }
    std::ofstream(ScenarioPath(), std::ios::trunc) << scenario;
    std::filesystem::remove(LogPath());
    const ProgramRun run = Command({"--trace"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    const std::vector<std::string> events = DriverEvents();
    EXPECT_EQ(events, DriverLogOf(recordedLog));
    if (c.exitCode == 1) {
      EXPECT_EQ(std::vector<std::string>(events.end() - 5, events.end()),
                (std::vector<std::string>{"EXEC " + c.lastStatement, "ROLLBACK",
                                          "SET AUTOCOMMIT ON", kReleaseShopLock, "DISCONNECT"}));
    } else if (c.exitCode == 5) {
      // Rolled back, then the holders asked for on the same connection.
      const auto lock = std::find(events.begin(), events.end(), "EXEC " + c.lastStatement);
      ASSERT_NE(lock, events.end());
      EXPECT_EQ(*std::next(lock), "ROLLBACK");
      EXPECT_NE(run.err.find("run slotsync again when"), std::string::npos) << run.err;
      if (c.lastStatement == drop) {
        EXPECT_NE(run.err.find("chosen as a deadlock victim"), std::string::npos) << run.err;
      }
    } else if (c.exitCode == 2) {
      EXPECT_EQ(
          std::vector<std::string>(events.end() - 3, events.end()),
          (std::vector<std::string>{"EXEC " + c.lastStatement, kReleaseShopLock, "DISCONNECT"}));
      EXPECT_NE(run.err.find("tells names apart by case"), std::string::npos) << run.err;
    }
    if (!c.traced.empty()) {
      const auto lines = Lines(run.out);
      const auto at = std::find(lines.begin(), lines.end(), "[ok] " + rename);
      ASSERT_NE(at, lines.end());
      EXPECT_EQ(*std::next(at), c.traced);
    }
  }
}

// Names that end in half a bracket (GBK 0x81 0x5D) for every kind the run
// carries, and catalog texts that hold what sqlcmd acts on: every statement
// the run sends stays one statement, and the plan's script hands sqlcmd
// nothing but T-SQL.
TEST_P(SlotsyncCommand, CatalogTextsStayNamesAndLiteralsInTheRunAndTheScript) {
  const std::string name =
      "\x81] On dbo.StockDetail(Price);Exec sp_addsrvrolemember N'mallory',N'sysadmin';--";
  const std::string lines = "x\r\nGO\r\n!! id\r\n:r evil.sql\r\n-- $(SQLCMDPASSWORD) \\''\r\n";
  FourTables tables;
  tables.stockDetail.dependents = {
      {"StockDetail",
       {{"D", name + "D", "BillID", "0", "0", "0", "('')", "1"},
        {"K", name + "K", std::nullopt, "0", "0", "0", "([Price]>=(0))", "1"},
        {"F", name + "F", "[dbo].[StockBill]", "0", "0", "1", std::nullopt, "1"},
        {"FC", name + "F", "BillID", "0", "0", "1", "BillID", "1"},
        {"I", name + "I", "PAGE", "2", "0", "0", std::nullopt, "1"},
        {"IC", "StoreCode", std::nullopt, "2", "0", "1", std::nullopt, "1"},
        {"I", name + "U", "NONE", "3", "3", "0", std::nullopt, "1"},
        {"IC", "Amount", std::nullopt, "3", "0", "1", std::nullopt, "1"},
        {"P", "SELECT", name, "0", "71", "0", std::nullopt, "1"},
        {"T", name + "T", std::nullopt, "0", "1", "0",
         "CREATE TRIGGER t ON StockDetail AFTER DELETE AS\r\nSELECT '" + lines + "'", "1"},
        {"E", "MS_Description", std::nullopt, "0", "0", "0", lines, "1"}}}};
  tables.Apply(*this);
  Record();
  ASSERT_EQ(recorded.outcome, entry::Outcome::kCommitted) << recorded.message;
  nlohmann::json sent = nlohmann::json::array();
  for (const std::string& statement : Statements(DriverLogOf(recordedLog))) {
    if (statement.find("StockDetail(Price)") != std::string::npos) {
      sent.push_back(statement);
    }
  }
  // The driver's log is UTF-8: 乚 stays one character, nothing after it
  // is doubled, and the name ends where it ends.
  const std::string carried = "[\xE4\xB9\x9A On dbo.StockDetail(Price);Exec ";
  for (const char* kind :
       {"Alter Table [dbo].[StockDetail] Add Constraint ", "Create NonClustered Index ",
        "Grant SELECT On [dbo].[StockDetail] To "}) {
    EXPECT_TRUE(std::any_of(sent.begin(), sent.end(), [&](const nlohmann::json& s) {
      return s.get<std::string>().starts_with(kind + carried);
    })) << kind;
  }
  const std::filesystem::path file = directory_.Path() / "sent.json";
  std::ofstream(file) << sent.dump();
  const ProgramRun one =
      RunProgram({SLOTSYNC_E2E_NODE, SLOTSYNC_E2E_TSQL_CHECK, "--one-each", file.string()}, {});
  EXPECT_EQ(one.exitCode, 0) << one.out << one.err;

  const std::filesystem::path script = directory_.Path() / "plan.sql";
  const ProgramRun plan = Command({"--plan", "--script", script.string()});
  ASSERT_EQ(plan.exitCode, 0) << plan.err;
  const ProgramRun parsed =
      RunProgram({SLOTSYNC_E2E_NODE, SLOTSYNC_E2E_TSQL_CHECK, script.string()}, {});
  EXPECT_EQ(parsed.exitCode, 0) << parsed.out << parsed.err;
  // The trigger and the description reach the script through a variable,
  // each line of them on a line of its own.
  const std::string text = ReadText(script);
  EXPECT_NE(text.find("Declare @Statement NVarchar(max)=Convert(NVarchar(max),N'Exec "
                      "sys.sp_addextendedproperty @name=N''MS_Description'', @value=N''x')+"
                      "NChar(13)+NChar(10)\n+N'GO'+NChar(13)+NChar(10)\n+N'!! id'+NChar(13)"),
            std::string::npos)
      << text;
}

// The plan through the command: reads only, the writes a run would send
// printed in order and written as a script that parses as T-SQL, and the
// same as JSON.
TEST_P(SlotsyncCommand, APlanReadsOnlyAndWritesItsScriptAndJson) {
  FourTables tables;
  // What StockDetail holds beyond its columns, carried by every statement
  // kind: a grant in its grantor's name, a trigger that runs as the user it
  // names, a check calling a function carried unchecked; the grants the
  // plan's own user gave make the script check that it runs as that user.
  tables.stockDetail.dependents = {
      {"StockDetail",
       {{"A", "dbo", std::nullopt, "1", "2", "0", std::nullopt, "1"},
        {"A", "Clerk", std::nullopt, "7", "1", "0", std::nullopt, "1"},
        {"D", "DF_Qty", "BillID", "0", "0", "0", "('')", "1"},
        {"K", "CK_Price", std::nullopt, "0", "1", "0", "([Price]>=(0))", "1"},
        {"K", "CK_Box", std::nullopt, "0", "4", "0", "([dbo].[fnBoxOk]([BoxQty])=(1))", "1"},
        {"F", "FK_Bill", "[dbo].[StockBill]", "0", "0", "1", std::nullopt, "1"},
        {"FC", "FK_Bill", "BillID", "0", "0", "1", "BillID", "1"},
        {"I", "IX_Line", "PAGE", "2", "1", "90", "([Price]>(0))", "1"},
        {"IC", "StoreCode", std::nullopt, "2", "1", "1", std::nullopt, "1"},
        {"IC", "Amount", std::nullopt, "2", "2", "1001", std::nullopt, "1"},
        {"P", "SELECT", "ShopRole", "0", "71", "0", std::nullopt, "1"},
        {"P", "UPDATE", "Reporter", "0", "68", "5", "Price", "1"},
        {"P", "SELECT", "Packer", "7", "71", "0", std::nullopt, "1"},
        {"T", "trg_Audit", std::nullopt, "0", "1", "0",
         "CREATE TRIGGER trg_Audit ON StockDetail AFTER DELETE AS SELECT 'gone' FROM deleted", "1"},
        {"T", "trg_Stamp", "Auditor", "0", "16", "0",
         "CREATE TRIGGER trg_Stamp ON StockDetail WITH EXECUTE AS 'Auditor' AFTER INSERT AS "
         "SELECT 1",
         "1"},
        {"E", "MS_Description", std::nullopt, "0", "0", "0", "Stock lines", "1"}}}};
  tables.Apply(*this);
  Record();  // a real run: its answers cover every read a plan makes
  std::vector<std::string> expected;
  for (const std::string& statement : Statements(DriverLogOf(recordedLog))) {
    if (statement.starts_with("Select ") || statement.starts_with("select ")) continue;
    // Session settings are the script's header, not writes of the plan's.
    if (statement.starts_with("SET ")) continue;
    // The run's own lock on the database is no write of the plan's.
    if (statement.find("applock") != std::string::npos) continue;
    const bool ignored = statement.starts_with("if exists") || statement.starts_with("Drop Table");
    // The foreign key comes off before the transaction and back after it.
    const char* kind = statement.find(" Drop Constraint ") != std::string::npos
                           ? "[planned, before the transaction] "
                       : statement.find(" Foreign Key ") != std::string::npos ||
                               statement.find(" Check Check ") != std::string::npos
                           ? "[planned, after the commit] "
                       : ignored ? "[planned, failure ignored] "
                                 : "[planned] ";
    expected.push_back(kind + statement);
  }
  // A plan names the keys with their table; a run moves all of them at once.
  const auto inRunOrder = [](std::vector<std::string> statements) {
    std::stable_partition(statements.begin(), statements.end(),
                          [](const std::string& s) { return s.starts_with("[planned, before"); });
    std::stable_partition(statements.begin(), statements.end(),
                          [](const std::string& s) { return !s.starts_with("[planned, after"); });
    return statements;
  };
  const std::filesystem::path script = directory_.Path() / "plan.sql";
  const ProgramRun run = Command({"--plan", "--trace", "--script", script.string()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::vector<std::string> planned;
  for (const std::string& line : Traced(run)) {
    if (line.starts_with("[planned")) planned.push_back(line);
  }
  EXPECT_EQ(inRunOrder(planned), expected);
  // Without --trace the report alone, its outcome first; no statement.
  const ProgramRun report = Command({"--plan"});
  EXPECT_EQ(report.exitCode, 0) << report.err;
  EXPECT_EQ(Lines(report.out).front(),
            "plan: N=3, StockDetailTemp has 2 slot columns; 4 of 4 flagged tables would be "
            "rebuilt; nothing was written or locked");
  EXPECT_TRUE(Traced(report).empty()) << report.out;
  EXPECT_NE(report.out.find("note: TableTag 450: the run reads \"Select Count(*) From "
                            "dbo.Tmp_OrderDetail\" after its own \"Insert into "
                            "dbo.Tmp_OrderDetail ...\""),
            std::string::npos)
      << report.out;
  EXPECT_NE(run.out.find("TableTag 10 StockDetail (detail): copies 5 rows; slot columns 2 -> 3"),
            std::string::npos)
      << run.out;
  const std::vector<std::string> events = DriverEvents();
  EXPECT_TRUE(std::all_of(events.begin(), events.end(), [](const std::string& e) {
    return e == "CONNECT" || e == "DISCONNECT" || e.starts_with("EXEC Select ") ||
           e.starts_with("EXEC select ");
  }));
  EXPECT_FALSE(Mentions(Statements(events), "TabLockX"));
  // The script parses under the T-SQL grammar (its known gaps aside), and
  // its batches stop in any client: the SQLCMD-mode check first, a check
  // before every change, every check ending in NOEXEC.
  const ProgramRun parsed =
      RunProgram({SLOTSYNC_E2E_NODE, SLOTSYNC_E2E_TSQL_CHECK, script.string()}, {});
  EXPECT_EQ(parsed.exitCode, 0) << parsed.out << parsed.err;
  const std::string text = ReadText(script);
  EXPECT_NE(text.find("If (Select Count(*) From dbo.Tmp_StockDetail)<>(Select Count(*) From "
                      "StockDetail) Begin If @@TRANCOUNT>0 Rollback Transaction; RaisError("),
            std::string::npos);
  // What it carries is what the plan read: 1 index, 2 checks, 1 default,
  // 2 triggers, 3 grants; no foreign key, which comes off first.
  const std::string id = "Object_ID(N'StockDetail')";
  const std::string counted = "Where parent_object_id=" + id + ")<>";
  EXPECT_NE(text.find("is_hypothetical=0)<>1 Or (Select Count(*) From sys.check_constraints " +
                      counted + "2 Or (Select Count(*) From sys.default_constraints " + counted +
                      "1 Or (Select Count(*) From sys.foreign_keys " + counted +
                      "0 Or (Select Count(*) From sys.triggers Where parent_id=" + id +
                      ")<>2 Or (Select Count(*) From sys.database_permissions Where major_id=" +
                      id + " And class=1 And state In ('G','W','D'))<>3"),
            std::string::npos)
      << text;
  EXPECT_NE(run.out.find("  1 index, 4 constraints, 3 permissions, 2 triggers, 1 description "
                         "carried\n  lost by design: the trust of check constraint CK_Box on "
                         "StockDetail (it calls a function that is not built in"),
            std::string::npos)
      << run.out;
  for (const char* carried :
       {"Grant SELECT On [dbo].[StockDetail] To [Packer] As [Clerk]\n",
        "Alter Table [dbo].[StockDetail] With NoCheck Add Constraint [CK_Box] Check ",
        "Exec(N'CREATE TRIGGER trg_Stamp ON StockDetail WITH EXECUTE AS ''Auditor'' AFTER",
        "If IsNull(Database_Principal_ID(),0)<>1 Begin If @@TRANCOUNT>0 Rollback Transaction; "
        "RaisError('this script gives back permissions and triggers as the database user the "
        "plan was made by (principal_id 1)"}) {
    EXPECT_NE(text.find(carried), std::string::npos) << carried;
  }
  // The run's own application lock, named as the run names it, held by the
  // transaction; waits are unbounded here (--lock-timeout 0), so the lock
  // waits as long as a run would.
  EXPECT_NE(
      text.find("SET XACT_ABORT ON\n" + std::string(entry::kWriteSettingsSql) +
                "\nSET DEADLOCK_PRIORITY LOW\nBEGIN TRANSACTION\nGO\nDeclare @Result int\nExec "
                "@Result=sp_getapplock @Resource=N'" +
                entry::DatabaseLockResource() +
                "',@LockMode='Exclusive',@LockOwner='Transaction',@LockTimeout=60000\n"),
      std::string::npos)
      << text;
  // The check notices a script whose order would let a write run after a
  // failure, or that runs T-SQL before it knows it is in SQLCMD mode.
  const std::string alive = "If XACT_STATE()<>1 Begin";
  for (const auto& [broken, says] :
       {std::pair{text.substr(0, text.find(alive)) + text.substr(text.find("\n", text.find(alive))),
                  "a change without a check before it"},
        std::pair{std::string(":on error exit\nSelect 1\nGO\n") + text,
                  "the first batch with T-SQL is not the SQLCMD-mode check"}}) {
    std::ofstream(script, std::ios::trunc) << broken;
    const ProgramRun refused =
        RunProgram({SLOTSYNC_E2E_NODE, SLOTSYNC_E2E_TSQL_CHECK, script.string()}, {});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find(says), std::string::npos) << refused.out;
  }

  const ProgramRun json = Command({"--plan", "--json"});
  EXPECT_EQ(json.exitCode, 0) << json.err;
  EXPECT_EQ(testing::RunSchemaErrors(json.out), "");
  const nlohmann::json result = nlohmann::json::parse(json.out);
  EXPECT_EQ(result["outcome"], "planned");
  EXPECT_EQ(result["exitCode"], 0);
  // Every finding at the top, with its table.
  ASSERT_FALSE(result["problems"].empty());
  EXPECT_EQ(result["problems"][0]["tableTag"], 10);
  EXPECT_EQ(result["problems"][0]["severity"], "note");
  EXPECT_EQ(result["tables"][0]["status"], "planned");
  ASSERT_EQ(result["tables"].size(), 4u);
  EXPECT_EQ(result["tables"][0]["kind"], "detail");
  EXPECT_EQ(result["tables"][0]["rows"], 5);
  EXPECT_EQ(result["tables"][0]["carried"]["permissions"], 3);
  EXPECT_EQ(result["tables"][1]["kind"], "per-terminal");
  EXPECT_EQ(result["tables"][1]["rowsLost"], 3);
  // Texts in UTF-8: the Chinese column name of OrderDetail as the character it is.
  const nlohmann::json& statements = result["tables"][2]["statements"];
  EXPECT_TRUE(std::any_of(statements.begin(), statements.end(), [](const nlohmann::json& s) {
    return s["text"].get<std::string>().find("\xE5\xA4\x87\xE6\xB3\xA8 Varchar(20) Null") !=
           std::string::npos;
  }));
}

// A trigger that runs as the user who created it (EXECUTE AS SELF) would
// run as the run's login once the run made it again: refused before any
// lock, the trigger, its user and what to do named.
TEST_P(SlotsyncCommand, AnExecuteAsSelfTriggerIsRefusedBeforeAnyLock) {
  FourTables tables;
  tables.stockDetail.dependents = {
      {"StockDetail",
       {{"T", "trg_Stamp", "Clerk", "0", "16", "0",
         "CREATE TRIGGER trg_Stamp ON StockDetail WITH EXECUTE AS SELF AFTER INSERT AS SELECT 1",
         "1"}}}};
  tables.Apply(*this);
  Record();
  ASSERT_EQ(recorded.outcome, entry::Outcome::kFailedBeforeTransaction) << recorded.message;
  const ProgramRun run = Command();
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("slotsync:   - TableTag 10: StockDetail: the trigger trg_Stamp runs as "
                         "Clerk without naming that user (EXECUTE AS SELF): created again by the "
                         "run it would run as the run's login; alter it to WITH EXECUTE AS "
                         "'Clerk' (or OWNER) before the run\n"),
            std::string::npos)
      << run.err;
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  EXPECT_EQ(std::count(events.begin(), events.end(), "SET AUTOCOMMIT OFF"), 0);
  EXPECT_FALSE(Mentions(Statements(events), "TabLockX"));
  EXPECT_FALSE(Mentions(Statements(events), "CREATE TRIGGER"));
}

// Ctrl+C or SIGTERM while a statement runs: the watcher cancels it, nothing
// more is sent, the run rolls back and the command exits 130.
TEST_P(SlotsyncCommand, AnInterruptCancelsTheRunningStatementAndRollsBack) {
  // The first statement of the transaction; the check before it reads the
  // same tables without a lock.
  const std::string running = "Select Count(*) From StockDetail With (TabLockX, HoldLock)";
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    script = testing::Script();
    writer = scripted_odbc::ScenarioWriter();
    std::filesystem::remove(LogPath());
    writer.Raw("statement " + running + "\nsignal " + std::to_string(signal) + "\n");
    FourTables().Apply(*this);
    Record();
    const ProgramRun run = Command();
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_NE(run.err.find("interrupted: the running statement was cancelled and the run rolled "
                           "back; nothing was changed\n"),
              std::string::npos)
        << run.err;
    const std::vector<std::string> events = DriverEvents();
    EXPECT_EQ(std::vector<std::string>(events.end() - 5, events.end()),
              (std::vector<std::string>{"EXEC " + running, "CANCEL", "ROLLBACK",
                                        "SET AUTOCOMMIT ON", "DISCONNECT"}));
  }
}

// The reader of a pipe goes away mid-run (slotsync --trace | head): the
// failed write stops the run, which rolls back, logs its line and exits 74.
TEST_P(SlotsyncCommand, AClosedPipeMidRunRollsBackLogsAndExits74) {
  const std::string cleared = "Update S_Modify Set Modified=0 Where TableTag=10";
  writer.Raw("statement " + cleared + "\nclose-output\n");
  FourTables().Apply(*this);
  Record();
  const std::filesystem::path log = directory_.Path() / "audit.jsonl";
  const ProgramRun run = Command({"--trace", "--log", log.string()});
  EXPECT_EQ(run.exitCode, 74) << run.err;
  EXPECT_NE(run.err.find("stopped: the output could not be written, so the run rolled back"),
            std::string::npos)
      << run.err;
  const std::vector<std::string> events = DriverEvents();
  const auto at = std::find(events.begin(), events.end(), "EXEC " + cleared);
  ASSERT_NE(at, events.end());
  EXPECT_EQ(std::count(at, events.end(), "ROLLBACK"), 1);
  EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), 0);
  const std::string line = ReadText(log);
  EXPECT_EQ(testing::RunSchemaErrors(line), "");
  const nlohmann::json json = nlohmann::json::parse(line);
  EXPECT_EQ(json["outcome"], "rolled back");
  EXPECT_EQ(json["exitCode"], 74);
  EXPECT_EQ(json["tables"][0]["status"], "rolled back");
  EXPECT_EQ(json["tables"][3]["status"], "not reached");
}

// Ctrl+C while the size-decrease notice waits for Enter inside the
// transaction: the wait ends at once, the run rolls back and exits 130,
// without a warning about the database lock it no longer needs.
// The command on a pseudo-terminal, its arguments after the program's
// name: everything it wrote there, as the terminal got it. `untilThen`,
// when given, is typed once the output holds `until`.
ProgramRun OnTerminal(const std::vector<std::string>& args, const EnvironmentChanges& environment,
                      const std::string& until = {}, char untilThen = 0) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    for (const int fd : {0, 1, 2}) dup2(slave, fd);
    for (const auto& [name, value] : environment) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    std::vector<char*> argv = {const_cast<char*>("slotsync")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(Built::Command().c_str(), argv.data());
    _exit(127);
  }
  close(slave);
  ProgramRun run;
  char buffer[256];
  bool typed = untilThen == 0;
  for (ssize_t n = 0; (n = read(master, buffer, sizeof buffer)) > 0;) {
    run.out.append(buffer, static_cast<std::size_t>(n));
    if (!typed && run.out.find(until) != std::string::npos) {
      typed = write(master, &untilThen, 1) == 1;
    }
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  close(master);
  run.exitCode = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return run;
}

TEST_P(SlotsyncCommand, CtrlCAtTheNoticeEndsTheWaitAndRollsBack) {
  FourTables tables;
  tables.stockDetail.sizeText = "1.0.2.1";
  tables.Apply(*this);
  Record();
  const ProgramRun run = OnTerminal({"-S", "srv", "-d", "Shop", "-U", "sa", "--lock-timeout", "0"},
                                    Environment(), "Press Enter to go on...", '\x03');
  const std::string& seen = run.out;
  EXPECT_EQ(run.exitCode, 130) << seen;
  // The table's line ends before the notice begins; the notice in Chinese,
  // its English line beneath it, each on a line of its own.
  EXPECT_NE(seen.find("copying 5 rows ...\r\n" + Utf8(std::string(ui::kNoticeCaption))),
            std::string::npos)
      << seen;
  EXPECT_NE(seen.find("\r\nnotice: a size group now has fewer sizes"), std::string::npos) << seen;
  // Nothing is glued to the "^C" the terminal echoes: the message starts
  // a line of its own.
  EXPECT_NE(seen.find("\r\n\r\x1b[Kslotsync: interrupted; cancelling the running statement"),
            std::string::npos)
      << seen;
  EXPECT_EQ(seen.find("^Cslotsync"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("releasing the database lock failed"), std::string::npos) << seen;
  // The summary says what happened: the table at the notice interrupted and
  // rolled back, the others never reached; nothing is shown as done after
  // the interrupt.
  const std::string after = seen.substr(seen.find("Press Enter to go on..."));
  EXPECT_EQ(after.find("[2/4]"), std::string::npos) << after;
  for (const char* said :
       {"] TableTag 10 StockDetail: copying 5 rows ... 0.0 s, interrupted (rolled back)\r\n",
        "\r\nslotsync: TableTag 10: the run was interrupted\r\n",
        "\r\n10       StockDetail           detail                    5           0      0.0  "
        "interrupted (rolled back)\r\n101      TermCount             per-terminal              - "
        "          0      0.0  not reached\r\n"}) {
    EXPECT_NE(after.find(said), std::string::npos) << said << "\n" << after;
  }
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), "ROLLBACK"), 1);
}

// On a terminal the check's line gives way to the first table's, and each
// table has one line, drawn again in place ("\r") until it ends.
TEST_P(SlotsyncCommand, ProgressOnATerminalIsOneLinePerTableDrawnInPlace) {
  FourTables().Apply(*this);
  Record();
  const ProgramRun run =
      OnTerminal({"-S", "srv", "-d", "Shop", "-U", "sa", "--lock-timeout", "0"}, Environment());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  // What each line of the terminal shows at the end: the last drawing of it.
  std::vector<std::string> shown;
  std::vector<std::string> drawings;
  for (const std::string& line : Lines(run.out)) {
    drawings.push_back(line);
    std::string last = line.substr(line.rfind('\r', line.size() - 1 - line.ends_with('\r')) + 1);
    if (last.ends_with('\r')) last.pop_back();
    while (last.ends_with(' ')) last.pop_back();
    if (last.starts_with("[")) shown.push_back(last);
  }
  ASSERT_EQ(shown.size(), 4u) << run.out;
  const char* const starts[] = {"[1/4] TableTag 10 StockDetail: copying 5 rows ... ",
                                "[2/4] TableTag 101 TermCount: recreating empty ... ",
                                "[3/4] TableTag 450 OrderDetail: copying 5 rows ... ",
                                "[4/4] TableTag 600 TermReport: recreating empty ... "};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(shown[i].starts_with(starts[i]) && shown[i].ends_with(" s, rebuilt")) << shown[i];
  }
  EXPECT_TRUE(drawings.front().starts_with(
      "\rslotsync: checking 4 tables: rights, room, dependents\r[1/4] TableTag 10 "))
      << run.out;
}

TEST_P(SlotsyncCommand, TheCLocaleGetsUtf8AndAFullDiskExits74) {
  FourTables().Apply(*this);
  Record();
  EnvironmentChanges environment = Environment();
  environment["LC_ALL"] = "C";
  // The narrow driver needs a UTF-8 locale of its own; the wide one none.
  if (GetParam() == DriverBuild::kWide) {
    const ProgramRun run = RunProgram({Built::Command(), "-S", "srv", "-d", "Shop", "-U", "sa",
                                       "--quiet", "--dry-run", "--lock-timeout", "0"},
                                      environment);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Mentions(Lines(run.out), "\xE5\xA4\x87\xE6\xB3\xA8 Varchar(20) Null"));
  }
  // A run that did not commit exits 74; one that committed stands, and its
  // exit code says so, with a warning that its report is cut short.
  for (const bool committed : {false, true}) {
    const ProgramRun full =
        RunProgram({"/bin/sh", "-c",
                    "exec \"$0\" -S srv -d Shop -U sa --lock-timeout 0 " +
                        std::string(committed ? "" : "--dry-run ") + ">/dev/full",
                    Built::Command()},
                   Environment());
    EXPECT_EQ(full.exitCode, committed ? 0 : 74) << full.err;
    EXPECT_NE(full.err.find(committed ? "slotsync: warning: the run committed, but its report "
                                        "could not be written in full"
                                      : "the output could not be written"),
              std::string::npos)
        << full.err;
  }
}

// The language follows the locale, the texts its encoding: Chinese under
// zh_CN in UTF-8 or GBK, English under C even when LANGUAGE asks for Chinese
// (as gettext does). A commit, a refusal and a lock-out, each with its line
// and what to do next.
TEST_P(SlotsyncCommand, MessagesSpeakTheLocalesLanguageInItsEncoding) {
  if (GetParam() != DriverBuild::kWide) GTEST_SKIP() << "the narrow driver reads UTF-8 only";
  struct Locale {
    const char* lang;
    text::Language language;
    bool gbk;
  };
  struct Situation {
    const char* name;
    std::function<void(FourTables&, testing::Script&)> plant;
    int exitCode;
    std::string line;      // its line, in the language of the run
    const char* nextStep;  // what to do next
    const char* english;   // a piece of its English message that must not show in Chinese
  };
  for (const Locale& locale : {Locale{"zh_CN.UTF-8", text::Language::kChinese, false},
                               Locale{"zh_CN.GBK", text::Language::kChinese, true},
                               Locale{"C", text::Language::kEnglish, false}}) {
    text::SetMessageLanguage(locale.language);
    const Situation situations[] = {
        {"commit", [](FourTables&, testing::Script&) {}, 0,
         text::TrFormat("committed: N=%d, StockDetailTemp still has %d slot columns (it was not "
                        "flagged); %d of %d flagged tables rebuilt",
                        3, 2, 4, 4),
         nullptr, "flagged tables rebuilt"},
        {"refusal",
         [](FourTables& t, testing::Script&) {
           t.stockDetail.tableName = "T;drop table Customer--";
         },
         2, text::TrFormat("could not run; %s", text::Tr("nothing was changed")),
         "nothing needs undoing; correct what is named above (the server, database, login or "
         "encryption, or the dictionary), then run slotsync again",
         "which is not"},
        {"lock-out",
         [](FourTables&, testing::Script& s) {
           s.Fail("Select Count(*) From StockDetail With (TabLockX, HoldLock)",
                  "Lock request time out period exceeded.", "HY000", 1222);
         },
         5, text::TrFormat("locked out: a lock wait ran out; %s", text::Tr("nothing was changed")),
         "nothing needs undoing; run slotsync again when the sessions named above have ended "
         "their work (--retry N tries again by itself)",
         "is held by"},
        // A deadlock is said as such, and no session is waited for.
        {"deadlock",
         [](FourTables&, testing::Script& s) {
           s.Fail("Select Count(*) From StockDetail With (TabLockX, HoldLock)",
                  "Transaction (Process ID 52) was deadlocked on lock resources with another "
                  "process and has been chosen as the deadlock victim. Rerun the transaction.",
                  "40001", entry::kDeadlockError);
         },
         5,
         text::TrFormat("locked out: the run gave way in a deadlock; %s",
                        text::Tr("nothing was changed")),
         "nothing needs undoing; run slotsync again when the database is less busy (--retry N "
         "tries again by itself)",
         "so that another session could go on"},
    };
    const std::filesystem::path suppressions = directory_.Path() / "lsan.supp";
    std::ofstream(suppressions) << "leak:__argz_add_sep\n";
    const auto shown = [&locale](const std::string& gbk) {
      return locale.gbk ? gbk : text::GbkToUtf8(gbk);
    };
    text::SetMessageLanguage(text::Language::kEnglish);
    for (const Situation& c : situations) {
      SCOPED_TRACE(std::string(locale.lang) + ", " + c.name);
      script = testing::Script();
      writer = scripted_odbc::ScenarioWriter();
      std::filesystem::remove(LogPath());
      FourTables tables;
      c.plant(tables, script);
      tables.Apply(*this);
      Record();
      EnvironmentChanges environment = Environment();
      environment["LC_ALL"] = std::nullopt;
      environment["SLOTSYNC_LANG"] = std::nullopt;
      environment["LANG"] = locale.lang;
      environment["LANGUAGE"] = "zh_CN";
      environment["LOCPATH"] = SLOTSYNC_E2E_LOCALES;
      // glibc keeps the list LOCPATH names (argz) to the end of the process.
      environment["LSAN_OPTIONS"] = "suppressions=" + suppressions.string();
      const ProgramRun run = RunProgram(
          {Built::Command(), "-S", "srv", "-d", "Shop", "-U", "sa", "--lock-timeout", "0"},
          environment);
      EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
      const std::string said = run.out + run.err;
      EXPECT_NE(said.find(shown(c.line)), std::string::npos) << said;
      if (c.nextStep != nullptr) {
        text::SetMessageLanguage(locale.language);
        const std::string next = "slotsync: " + shown(text::Tr(c.nextStep)) + "\n";
        text::SetMessageLanguage(text::Language::kEnglish);
        EXPECT_NE(said.find(next), std::string::npos) << said;
      }
      const bool chinese = locale.language == text::Language::kChinese;
      EXPECT_EQ(said.find(c.english) == std::string::npos, chinese) << said;
      // The application's own prompt, Chinese, only among Chinese messages.
      if (c.exitCode != 2) {
        EXPECT_EQ(said.find(shown(entry::kRebuildingPrompt)) == std::string::npos, !chinese);
      }
    }
  }
}

// The password prompt on a pseudo-terminal: Ctrl+C ends the command with the
// terminal's echo back on; Ctrl+D is an empty password, which is refused.
TEST_P(SlotsyncCommand, ThePromptGivesTheTerminalBackAndRefusesAnEmptyPassword) {
  for (const auto& [key, status] : {std::pair{'\x03', 128 + SIGINT}, std::pair{'\x04', 64}}) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      for (const int fd : {0, 1, 2}) dup2(slave, fd);
      unsetenv("SLOTSYNC_PASSWORD");
      execl(Built::Command().c_str(), "slotsync", "-S", "srv", "-d", "Shop", "-U", "sa", nullptr);
      _exit(127);
    }
    std::string seen;
    char buffer[256];
    while (seen.find("Password: ") == std::string::npos) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      seen.append(buffer, static_cast<std::size_t>(n));
    }
    ASSERT_EQ(write(master, &key, 1), 1);
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_EQ(WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw), status) << seen;
    termios after{};
    tcgetattr(slave, &after);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
    close(master);
    close(slave);
  }
}

// A dictionary text that could reach beyond its place in a statement stops
// the run before its transaction, which is never begun: nothing but reads
// reach the server, and the message names the table and the column.
struct Refusal {
  const char* name;
  std::function<void(FourTables&)> plant;
  std::int32_t tag;
  std::string column;
  std::string text;
  std::string lastStatement;  // the read that brought the text
};

class DictionaryRefusal : public EndToEnd {
 protected:
  static std::vector<Refusal> Cases() {
    return {
        {"DetailTableName",
         [](FourTables& t) { t.stockDetail.tableName = "T;drop table Customer--"; }, 10,
         "S_Modify.TableName", "T;drop table Customer--",
         "Select * from S_Modify Where TableTag=10"},
        {"DetailValueColumn",
         [](FourTables& t) {
           t.orderDetail.createField = "Price;Amount) Select * From Customer--;";
           t.orderDetail.fieldKind = "Money;Money;";
         },
         450, "S_Modify.CreateField", "Amount) Select * From Customer--",
         "Select * from S_Modify Where TableTag=450"},
        {"TerminalFixedColumnType",
         [](FourTables& t) { t.termCount.fixedFieldKind = "Int) Drop Table Customer--;"; }, 101,
         "S_Modify.FixedFieldKind", "Int) Drop Table Customer--",
         "Select TableName From DataDictionary where TableTag=101"},
        {"TerminalReportType",
         [](FourTables& t) {
           t.termReport.types = {"T1", "T2]--"};
         },
         600, "DataDictReportContent.Type", "T2]--",
         "Select TableName From DataDictionary where TableTag=600"},
        {"TerminalKeyColumn", [](FourTables& t) { t.termCount.keyColumn = "K'"; }, 101,
         "DataDictionary.FieldName", "K'",
         "Select TableName From DataDictionary where TableTag=101"},
    };
  }
};

TEST_P(DictionaryRefusal, StopsTheRunBeforeItsTransactionNamingTheTableAndTheColumn) {
  for (const Refusal& refusal : Cases()) {
    SCOPED_TRACE(refusal.name);
    script = testing::Script();
    writer = scripted_odbc::ScenarioWriter();
    std::filesystem::remove(LogPath());
    FourTables tables;
    refusal.plant(tables);
    tables.Apply(*this);
    Record();
    ASSERT_EQ(recorded.outcome, entry::Outcome::kFailedBeforeTransaction) << recorded.message;
    const ProgramRun run = Command();
    EXPECT_EQ(run.exitCode, 2);
    const std::string named = "  - TableTag " + std::to_string(refusal.tag) + ": " +
                              refusal.column + " holds '" + refusal.text + "', which is not ";
    EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("could not run; nothing was changed"), std::string::npos) << run.err;
    const std::vector<std::string> events = DriverEvents();
    EXPECT_EQ(events, DriverLogOf(recordedLog));
    // Found before the transaction: reads only, the text's own among them.
    EXPECT_EQ(std::count(events.begin(), events.end(), "SET AUTOCOMMIT OFF"), 0);
    const std::vector<std::string> statements = Statements(events);
    EXPECT_TRUE(std::all_of(statements.begin(), statements.end(), [](const std::string& s) {
      // and the database's application lock, taken and given back
      return s.starts_with("Select ") || s == "SET DEADLOCK_PRIORITY LOW" ||
             s.starts_with("Declare @Result int Exec @Result=sp_getapplock") ||
             s.starts_with("Exec sp_releaseapplock");
    }));
    EXPECT_TRUE(Mentions(statements, refusal.lastStatement));
    EXPECT_FALSE(Mentions(statements, "Customer"));
  }
}

INSTANTIATE_TEST_SUITE_P(BothDriverBuilds, SlotsyncCommand,
                         ::testing::Values(DriverBuild::kWide, DriverBuild::kNarrowOnly), Name);
INSTANTIATE_TEST_SUITE_P(BothDriverBuilds, DictionaryRefusal,
                         ::testing::Values(DriverBuild::kWide, DriverBuild::kNarrowOnly), Name);

}  // namespace
}  // namespace slotsync::e2e
