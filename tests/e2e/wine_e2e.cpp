// The Windows DLL end to end under Wine: the host program scenarios of
// host_e2e_test.cpp, played by tests/win32/wine_e2e_host.c, which loads
// slotsync.dll as a Windows application does. Wine's odbc32 hands the DLL's
// ODBC calls on to the machine's unixODBC, and unixODBC loads the native
// scripted driver from the path the DLL puts into Driver=, so the scenario
// recorded from the in-memory run goes through the Windows build of the
// client, Wine and the real driver manager. What reached the driver must be
// what the recorded run sent, and the DLL must report it as the Linux
// library does.
//
// It needs the Windows build, so it is not a CTest test of the Linux build:
// scripts/test-windows.sh runs it with
//   SLOTSYNC_WINE          the wine command, as a path
//   SLOTSYNC_WINE_HOST     wine_e2e_host.exe, next to slotsync.dll
//   SLOTSYNC_WINE_DRIVER   the scripted driver of the host's bitness: 32-bit
//                          Wine runs 32-bit unixODBC, which cannot load the
//                          64-bit driver (the default).
//   SLOTSYNC_WINE_COMMAND  slotsync.exe, for the command's scenarios; they
//                          are skipped without it
//   SLOTSYNC_WINE_PASCAL   the Pascal unit's example built with Free Pascal
//                          for Windows, next to slotsync.dll; skipped without
// The command's scenarios hold slotsync.exe to the texts and exit codes of
// the Linux command (command_e2e_test.cpp), its output redirected: UTF-8.

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <utility>

#include "e2e_fixture.h"

namespace slotsync::e2e {
namespace {

using scripted_odbc::Call;
using testing::FourTables;

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// What one scenario must produce.
struct Expected {
  std::vector<std::string> options = {};  // the host's: --dry-run, --trace
  // The TableTags handed to a rebuilder, in order; none means the run never
  // got as far as showing its prompt.
  std::vector<std::int32_t> tables = {};
  std::string outcome = {};
  std::string result = {};
  std::string message = {};  // RefreshStructLastError, GBK; empty when none
  int commits = 0;
  int rollbacks = 0;
  // The statements whose failure the run passed over, and the one that ended
  // it, for the outcomes the statement callback reports.
  std::vector<std::string> ignored = {};
  std::string failing = {};
  // The driver's events when there is no recorded run to take them from.
  std::optional<std::vector<std::string>> events = {};
};

class WindowsDll : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    lockTimeoutSeconds = entry::kDefaultLockTimeoutSeconds;
    ASSERT_FALSE(Variable("SLOTSYNC_WINE").empty()) << "SLOTSYNC_WINE names no wine command";
    ASSERT_FALSE(Variable("SLOTSYNC_WINE_HOST").empty())
        << "SLOTSYNC_WINE_HOST names no wine_e2e_host.exe";
  }

  std::string WineDriver() const {
    const std::string driver = Variable("SLOTSYNC_WINE_DRIVER");
    return LikeMicrosoftDriver(driver.empty() ? Built::Driver() : driver);
  }

  void RunAndCheck(const Expected& expected) const {
    std::vector<std::string> args = {
        Variable("SLOTSYNC_WINE"), Variable("SLOTSYNC_WINE_HOST"), "srv", "Shop", "sa", "pw"};
    args.insert(args.end(), expected.options.begin(), expected.options.end());
    EnvironmentChanges environment = Environment();
    environment["SLOTSYNC_ODBC_DRIVER"] = WineDriver();
    const ProgramRun run = RunProgram(args, environment);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

    // The connection string came through Wine's odbc32 as the DLL built it.
    EXPECT_EQ(Attributes(), (std::vector<std::string>{
                                "Driver=" + WineDriver(), "Server=srv", "Database=Shop", "UID=sa",
                                "PWD=pw", kApp, "Encrypt=yes", "TrustServerCertificate=yes"}));
    const std::vector<std::string> events = DriverEvents();
    EXPECT_EQ(events, expected.events ? *expected.events : DriverLogOf(recordedLog));
    EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), expected.commits);
    EXPECT_EQ(std::count(events.begin(), events.end(), "ROLLBACK"), expected.rollbacks);

    std::vector<std::string> statementLines;
    std::vector<std::string> otherLines;
    for (const std::string& line : Lines(run.out)) {
      // The host prints statements in GBK, as the DLL hands them over; the
      // driver logs what it received in UTF-8.
      if (line.starts_with("statement ")) {
        statementLines.push_back(Utf8(line));
      } else {
        otherLines.push_back(line);
      }
    }
    std::vector<std::string> traced;
    if (std::find(expected.options.begin(), expected.options.end(), "--trace") !=
        expected.options.end()) {
      for (const std::string& statement : Statements(events)) {
        const bool ignored = std::find(expected.ignored.begin(), expected.ignored.end(),
                                       statement) != expected.ignored.end();
        const int outcome = statement == expected.failing ? 2 : ignored ? 1 : 0;
        traced.push_back("statement " + std::to_string(outcome) + " " + statement);
      }
    }
    EXPECT_EQ(statementLines, traced);

    std::vector<std::string> lines;
    if (!expected.tables.empty()) {
      // The check before the transaction reads the four tables FourTables
      // flags, whichever of them the walk reaches.
      lines.push_back("progress 5 checking 4 tables: rights, room, dependents");
      lines.push_back("progress 0 " + std::string(entry::kRebuildingPrompt));
      lines.push_back("progress 1 ");
      for (const std::int32_t tag : expected.tables) {
        lines.push_back("progress 2 " + std::to_string(tag));
      }
    }
    lines.push_back("progress 3 ");
    lines.push_back(expected.outcome);
    lines.push_back(expected.result);
    if (!expected.message.empty()) lines.push_back("message " + expected.message);
    EXPECT_EQ(otherLines, lines) << run.err;
  }
};

const std::vector<std::int32_t> kAllTables = {10, 101, 450, 600};
const std::string kAllRebuilt = "result slotCount=3 slotColumns=2 flaggedRows=4 rebuiltTables=4";

TEST_P(WindowsDll, AnInStepDatabaseEndsAfterTheCountsWithoutATransaction) {
  ScriptCounts(3, 3);
  Record();
  RunAndCheck({.outcome = "outcome 0",
               .result = "result slotCount=3 slotColumns=3 flaggedRows=0 rebuiltTables=0"});
}

TEST_P(WindowsDll, FlaggedDetailAndTerminalTablesAreRebuiltAndCommitted) {
  FourTables().Apply(*this);
  Record();
  RunAndCheck({.tables = kAllTables, .outcome = "outcome 1", .result = kAllRebuilt, .commits = 1});
}

TEST_P(WindowsDll, AFailureInTheMiddleIsRolledBackAndNamesItsTable) {
  FourTables().Apply(*this);
  const std::string failing = "sp_rename 'dbo.Tmp_OrderDetail', 'OrderDetail'";
  const std::string message =
      "Either the parameter @objname is ambiguous or the claimed @objtype (OBJECT) is wrong.";
  script.Fail(failing, message, "42000");
  Record();
  RunAndCheck({.options = {"--trace"},
               .tables = {10, 101, 450},
               .outcome = "outcome 2",
               .result = "result slotCount=3 slotColumns=2 flaggedRows=4 rebuiltTables=0 "
                         "failedTableTag=450",
               .message = "TableTag 450: " + message + " (SQLSTATE 42000, native error 0)",
               .rollbacks = 1,
               .failing = failing});
}

TEST_P(WindowsDll, ARefusedConnectionFailsBeforeTheTransaction) {
  writer.FailCall(Call::kConnect, "HYT00", "Login timeout expired");
  Save();
  RunAndCheck({.outcome = "outcome 3",
               .result = "result slotCount=0 slotColumns=0 flaggedRows=0 rebuiltTables=0",
               .message = "Login timeout expired (SQLSTATE HYT00, native error 0)",
               .events = std::vector<std::string>{"CONNECT"}});
}

TEST_P(WindowsDll, ADryRunSendsEverythingAndRollsBack) {
  FourTables().Apply(*this);
  Record(/*dryRun=*/true);
  RunAndCheck({.options = {"--dry-run", "--trace"},
               .tables = kAllTables,
               .outcome = "outcome 7",
               .result = kAllRebuilt,
               .rollbacks = 1});
}

TEST_P(WindowsDll, TheStatementCallbackSeesEveryStatementWithItsOutcome) {
  FourTables().Apply(*this);
  // The old per-terminal table is not there: its drop fails and is passed over.
  const std::string drop = "Drop Table TermCount";
  script.Fail(drop, "Cannot drop the table 'TermCount', because it does not exist.", "42S02");
  Record();
  RunAndCheck({.options = {"--trace"},
               .tables = kAllTables,
               .outcome = "outcome 1",
               .result = kAllRebuilt,
               .commits = 1,
               .ignored = {drop}});
}

// A driver named by its registered name is judged by the library the
// registry names for it (HKLM\SOFTWARE\ODBC\ODBCINST.INI\<name>, Driver),
// here Microsoft's, while unixODBC behind Wine loads the scripted driver
// under FreeTDS's file name; a name the registry has no library for falls
// back to the Driver= the driver manager lists.
TEST_P(WindowsDll, ARegisteredNameIsJudgedByTheLibraryTheRegistryNames) {
  ScriptCounts(3, 3);
  Record();
  const std::filesystem::path tds = directory_.Path() / "libtdsodbc.so";
  std::filesystem::create_symlink(WineDriver(), tds);
  std::ofstream(directory_.Path() / "odbcinst.ini")
      << "[Shop SQL]\nDriver=" << tds.string() << "\n[Shop TDS]\nDriver=" << tds.string() << "\n";
  const std::string key = "HKLM\\Software\\ODBC\\ODBCINST.INI\\Shop SQL";
  for (const char* view : {"/reg:64", "/reg:32"}) {
    ASSERT_EQ(RunProgram({Variable("SLOTSYNC_WINE"), "reg", "add", key, "/v", "Driver", "/d",
                          "C:\\Windows\\System32\\msodbcsql18.dll", "/f", view},
                         {})
                  .exitCode,
              0);
  }
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"Shop SQL", {"Encrypt=yes", "TrustServerCertificate=yes"}},
      {"Shop TDS", {"ClientCharset=UTF-8", "Encryption=require"}},
  };
  for (const auto& [name, security] : cases) {
    std::filesystem::remove(LogPath());
    EnvironmentChanges environment = Environment();
    environment["SLOTSYNC_ODBC_DRIVER"] = name;
    const ProgramRun run = RunProgram(
        {Variable("SLOTSYNC_WINE"), Variable("SLOTSYNC_WINE_HOST"), "srv", "Shop", "sa", "pw"},
        environment);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<std::string> attributes = Attributes();
    ASSERT_GE(attributes.size(), 2u) << run.out;
    EXPECT_EQ(std::vector<std::string>(attributes.end() - 2, attributes.end()), security) << name;
  }
  for (const char* view : {"/reg:64", "/reg:32"}) {
    RunProgram({Variable("SLOTSYNC_WINE"), "reg", "delete", key, "/f", view}, {});
  }
}

class WindowsCommand : public WindowsDll {
 protected:
  void SetUp() override {
    WindowsDll::SetUp();
    lockTimeoutSeconds = 0;  // run with --lock-timeout 0
    if (Variable("SLOTSYNC_WINE_COMMAND").empty()) GTEST_SKIP() << "no SLOTSYNC_WINE_COMMAND";
  }

  // Runs slotsync.exe and checks its exit code, its output and, unless the
  // run never got to connect, what reached the driver.
  void RunAndCheck(const std::vector<std::string>& options, int exitCode, const std::string& out,
                   const std::string& err, bool connects = true) const {
    std::vector<std::string> args = {Variable("SLOTSYNC_WINE"),
                                     Variable("SLOTSYNC_WINE_COMMAND"),
                                     "--server",
                                     "srv",
                                     "--database",
                                     "Shop",
                                     "--user",
                                     "sa",
                                     "--lock-timeout",
                                     "0"};
    args.insert(args.end(), options.begin(), options.end());
    EnvironmentChanges environment = Environment();
    environment["SLOTSYNC_ODBC_DRIVER"] = WineDriver();
    ProgramRun run = RunProgram(args, environment);
    TakeTableLines(run);
    EXPECT_EQ(run.exitCode, exitCode) << run.out << run.err;
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
    if (!connects) {
      EXPECT_EQ(DriverLog(), std::vector<std::string>{});
    } else if (recordedLog.empty()) {
      EXPECT_EQ(DriverEvents(), std::vector<std::string>{"CONNECT"});
    } else {
      EXPECT_EQ(DriverEvents(), DriverLogOf(recordedLog));
    }
  }

  // The check's line; the application's Chinese prompt is no line among
  // English messages.
  const std::string promptLine = "slotsync: checking 4 tables: rights, room, dependents\n";
};

TEST_P(WindowsCommand, InStep) {
  ScriptCounts(3, 3);
  Record();
  RunAndCheck({}, 0, "in step: N=3, StockDetailTemp has 3 slot columns; nothing to do\n", "");
}

TEST_P(WindowsCommand, Committed) {
  FourTables().Apply(*this);
  Record();
  RunAndCheck({}, 0,
              "committed: N=3, StockDetailTemp still has 2 slot columns (it was not flagged); 4 of "
              "4 flagged tables rebuilt\n",
              promptLine +
                  "slotsync: TableTag 101 recreated empty by design: TermCount 3\n"
                  "slotsync: TableTag 600 recreated empty by design: TermReport 3\n");
}

// The language: SLOTSYNC_LANG, or the user's display language, which Wine
// takes from the host's locale (zh_CN: Chinese (PRC)); the catalog is inside
// slotsync.exe, and a redirected output is UTF-8.
TEST_P(WindowsCommand, CommittedInTheUsersLanguage) {
  FourTables().Apply(*this);
  Record();
  const std::string chinese =
      "已提交：N=3，StockDetailTemp 仍有 2 个尺码列（未标记重建）；已标记的 4 张表中重建了 4 张\n";
  struct Language {
    std::optional<std::string> slotsyncLang;
    std::string lang;
    std::string out;
  };
  for (const Language& c :
       {Language{"zh_CN", "C.UTF-8", chinese}, Language{std::nullopt, "zh_CN.UTF-8", chinese},
        Language{
            std::nullopt, "en_US.UTF-8",
            "committed: N=3, StockDetailTemp still has 2 slot columns (it was not flagged); 4 of 4 "
            "flagged tables rebuilt\n"}}) {
    SCOPED_TRACE(c.lang);
    std::filesystem::remove(LogPath());
    EnvironmentChanges environment = Environment();
    environment["SLOTSYNC_ODBC_DRIVER"] = WineDriver();
    environment["SLOTSYNC_LANG"] = c.slotsyncLang;
    environment["LC_ALL"] = std::nullopt;
    environment["LANG"] = c.lang;
    // Wine falls back to English where the host lacks the locale.
    environment["LOCPATH"] = SLOTSYNC_E2E_LOCALES;
    ProgramRun run = RunProgram({Variable("SLOTSYNC_WINE"), Variable("SLOTSYNC_WINE_COMMAND"), "-S",
                                 "srv", "-d", "Shop", "-U", "sa", "--lock-timeout", "0"},
                                environment);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
  }
}

// Several databases: slotsync.exe starts itself once per database and sums up.
TEST_P(WindowsCommand, SeveralDatabasesRunEachInAProcessOfItsOwn) {
  ScriptCounts(3, 3);
  Record();
  EnvironmentChanges environment = Environment();
  environment["SLOTSYNC_ODBC_DRIVER"] = WineDriver();
  environment["SCRIPTED_ODBC_LOG"] = (directory_.Path() / "{database}.log").string();
  const ProgramRun run = RunProgram({Variable("SLOTSYNC_WINE"), Variable("SLOTSYNC_WINE_COMMAND"),
                                     "-S", "srv", "-d", "Shop,Back", "-U", "sa", "-j", "2"},
                                    environment);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(Lines(run.out).back(), "2 databases: 2 in step") << run.out;
  for (const char* name : {"Shop", "Back"}) {
    std::vector<std::string> events;
    for (const std::string& line :
         ReadDriverLog(directory_.Path() / (std::string(name) + ".log"))) {
      if (!line.starts_with("ATTRIBUTE ")) events.push_back(line);
    }
    EXPECT_EQ(events, DriverLogOf(recordedLog)) << name;
  }
}

TEST_P(WindowsCommand, RolledBack) {
  FourTables().Apply(*this);
  const std::string failing = "sp_rename 'dbo.Tmp_OrderDetail', 'OrderDetail'";
  script.Fail(failing, "Either the parameter @objname is ambiguous.", "42000");
  Record();
  RunAndCheck({}, 1, "",
              promptLine +
                  "rolled back: N=3, StockDetailTemp has 2 slot columns; nothing was changed\n"
                  "slotsync: TableTag 450: Either the parameter @objname is ambiguous. (SQLSTATE "
                  "42000, native error 0)\n"
                  "slotsync: nothing needs undoing; remove the cause named above, then run "
                  "slotsync again\n");
}

TEST_P(WindowsCommand, RefusedConnection) {
  writer.FailCall(Call::kConnect, "28000", "Login failed for user 'sa'.");
  Save();
  RunAndCheck({}, 2, "",
              "could not run; nothing was changed\n"
              "slotsync: Login failed for user 'sa'. (SQLSTATE 28000, native error 0)\n"
              "slotsync: nothing needs undoing; correct what is named above (the server, "
              "database, login or encryption, or the dictionary), then run slotsync again\n");
}

TEST_P(WindowsCommand, BadUsage) {
  Save();
  RunAndCheck(
      {"--bogus"}, 64, "",
      "slotsync: unknown option --bogus\n"
      "usage: slotsync (-S HOST | --dsn NAME) -d DB (-U USER | -E)\n"
      "                [--password-stdin | --empty-password] [-N strict|mandatory|optional]\n"
      "                [-C] [--dry-run | --plan [--script FILE]] [--json] [--trace] [--yes]\n"
      "                [--quiet] [--lock-timeout S] [--retry N] [--log FILE]\n"
      "                [--lang zh_CN|en]\n"
      "                [--online [--cutover-timeout S] | --online --clean-up]\n"
      "       slotsync (-S HOST | --dsn NAME) (-U USER | -E)\n"
      "                (-d DB,DB... | --databases FILE | --all-databases)\n"
      "                [-j N] [--stop-on-failure] [--script DIR] [the options above]\n"
      "       slotsync --help | --version\n"
      "Run 'slotsync --help' for every option and examples.\n",
      /*connects=*/false);
}

// Windows' help gives its examples as cmd.exe takes them.
TEST_P(WindowsCommand, HelpGivesWindowsExamples) {
  const ProgramRun run = RunProgram(
      {Variable("SLOTSYNC_WINE"), Variable("SLOTSYNC_WINE_COMMAND"), "--help"}, Environment());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("\n  set SLOTSYNC_PASSWORD=secret\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("--dry-run < NUL\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("/dev/null"), std::string::npos) << run.out;
}

// The Pascal unit's example against the DLL: the calling convention (stdcall
// on x86) and the records as Delphi and Free Pascal hosts use them.
class WindowsPascal : public WindowsDll {
 protected:
  void SetUp() override {
    WindowsDll::SetUp();
    if (Variable("SLOTSYNC_WINE_PASCAL").empty()) GTEST_SKIP() << "no SLOTSYNC_WINE_PASCAL";
  }

  void RunAndCheck(const std::string& outcome, const std::string& result) const {
    EnvironmentChanges environment = Environment();
    environment["SLOTSYNC_ODBC_DRIVER"] = WineDriver();
    const ProgramRun run = RunProgram(
        {Variable("SLOTSYNC_WINE"), Variable("SLOTSYNC_WINE_PASCAL"), "srv", "Shop", "sa", "pw"},
        environment);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    std::vector<std::string> expected;
    for (const std::string& statement : Statements(DriverEvents())) {
      expected.push_back("statement 0 " + statement);
    }
    expected.push_back(outcome);
    expected.push_back(result);
    std::vector<std::string> lines;
    // Free Pascal ends lines in "\r\n" on Windows.
    for (std::string line : Lines(run.out)) {
      if (line.ends_with('\r')) line.pop_back();
      lines.push_back(Utf8(line));
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(DriverEvents(), DriverLogOf(recordedLog));
  }
};

TEST_P(WindowsPascal, InStep) {
  ScriptCounts(3, 3);
  Record();
  RunAndCheck("outcome 0", "result slotCount=3 slotColumns=3 flaggedRows=0 rebuiltTables=0");
}

TEST_P(WindowsPascal, Committed) {
  FourTables().Apply(*this);
  Record();
  RunAndCheck("outcome 1", kAllRebuilt);
}

// Wine's odbc32 calls the wide functions of unixODBC, which hands them to the
// driver's own wide entry points; the narrow-only build is unixODBC's
// conversion, which the Linux host tests cover.
INSTANTIATE_TEST_SUITE_P(WideDriver, WindowsDll, ::testing::Values(DriverBuild::kWide), Name);
INSTANTIATE_TEST_SUITE_P(WideDriver, WindowsCommand, ::testing::Values(DriverBuild::kWide), Name);
INSTANTIATE_TEST_SUITE_P(WideDriver, WindowsPascal, ::testing::Values(DriverBuild::kWide), Name);

}  // namespace
}  // namespace slotsync::e2e
