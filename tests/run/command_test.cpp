#include "command.h"
#include "display_width.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include <sys/stat.h>

#include "entry/database_catalog.h"
#include "entry/run_locks.h"
#include "many_databases.h"
#include "password_argument.h"
#include "rebuild/online_detail.h"
#include "run_fixture.h"
#include "run_schema.h"
#include "scenarios.h"
#include "targets.h"
#include "text/messages.h"

namespace slotsync::testing {
namespace {

class Command : public RunFixture {
 protected:
  std::istringstream in;
  std::ostringstream out, err;
  std::map<std::string, std::string> environment{{"SLOTSYNC_PASSWORD", "pw"}};
  bool errIsTerminal = false;
  std::vector<int> pauses;
  entry::ClientFactory client = [this](const entry::SizeConnectionSettings& settings) {
    clientsMade.push_back(settings);
    return std::make_unique<ScriptedConnection>(script);
  };

  int Run(std::vector<std::string> args) {
    cli::Terminal terminal;
    terminal.in = &in;
    terminal.out = &out;
    terminal.err = &err;
    terminal.errIsTerminal = errIsTerminal;
    terminal.getEnv = [this](const char* name) -> const char* {
      auto it = environment.find(name);
      return it == environment.end() ? nullptr : it->second.c_str();
    };
    terminal.readSecret = [](const std::string&) { return std::string("typed"); };
    terminal.makeClient = &client;
    terminal.pause = [this](int seconds) { pauses.push_back(seconds); };
    return cli::RunCommand({args.begin(), args.end()}, terminal);
  }

  std::vector<std::string> Connect(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--server", "srv", "--database", "db",
                                     "--user",   "sa",  "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
};

TEST_F(Command, UsageErrorsExitWith64AndAUsageLine) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--server", "s", "--database", "d"},
      {"--server", "s", "--database", "d", "--user", "u", "--frobnicate"},
      {"--server", "s", "--database", "d", "--user", "u", "extra"},
      {"--server"},
      {"--server", "s", "--server", "t", "--database", "d", "--user", "u"},
      {"--server", "s", "--database", "d", "--user", "u", "--trace=yes"},
      {"--server", "s", "--database", "d", "--user", "u", "--password", "p", "--password-stdin"},
      {"-S", "s", "--server=t", "-d", "d", "-U", "u"},
      {"-S", "s", "-d", "d", "-U", "u", "-N", "always"},
      {"-S", "s", "-d", "d", "-U", "u", "-N", "strict", "-C"},
      {"--server=", "-d", "d", "-U", "u"},
      {"-S", "s", "-d", "d", "-U", "u", "-Cx"},
      {"-S", "s", "-d", "a,b", "--all-databases", "-U", "u"},
      {"-S", "s", "--databases", "f", "-d", "a", "-U", "u"},
      {"-S", "s", "-d", "a,,b,", "-U", "u"},
      {"-S", "s", "-d", "a,b", "-U", "u", "--trace"},
      {"-S", "s", "-d", "a,b", "-U", "u", "-j", "0"},
      {"-d", "a,b", "-U", "u"},
      {"-S", "s", "-d", "d", "-U", "u", "--clean-up"},
      {"-S", "s", "-d", "d", "-U", "u", "--cutover-timeout", "5"},
      {"-S", "s", "-d", "d", "-U", "u", "--online", "--cutover-timeout", "0"},
      {"-S", "s", "-d", "d", "-U", "u", "--online", "--clean-up", "--plan"},
      {"-S", "s", "-d", "d", "-U", "u", "--online", "--plan", "--script", "f.sql"},
  };
  for (const auto& args : bad) {
    err.str("");
    EXPECT_EQ(Run(args), cli::kExitUsage);
    EXPECT_NE(err.str().find("usage: slotsync"), std::string::npos) << err.str();
    // A program that asked for JSON still gets an object, with the error.
    std::vector<std::string> json = args;
    json.push_back("--json");
    out.str("");
    EXPECT_EQ(Run(json), cli::kExitUsage);
    EXPECT_EQ(RunSchemaErrors(out.str()), "") << out.str();
    const nlohmann::json said = nlohmann::json::parse(out.str());
    EXPECT_EQ(said["outcome"], "bad arguments");
    EXPECT_EQ(said["exitCode"], cli::kExitUsage);
    EXPECT_NE(said["message"], "");
  }
  EXPECT_TRUE(clientsMade.empty());
}

// Each refusal of the command line says what to do, all of it at once.
TEST_F(Command, OptionMessagesNameEverythingAtOnce) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--quiet"}, "slotsync: -S/--server, -d/--database and -U/--user are required\n"},
      {{"-S", "s", "--quiet"}, "slotsync: -d/--database and -U/--user are required\n"},
      {{"-S", "s", "-d", "d", "-P", "pw"},
       "slotsync: -P is not taken: on the command line the password is visible to every user of "
       "this machine. The password comes from SLOTSYNC_PASSWORD, --password-stdin or a prompt "
       "(--password PW if you must)\n"},
      {{"-S", "s", "-d", "d", "-U", "u", "--empty-password", "--password-stdin"},
       "slotsync: --empty-password excludes --password and --password-stdin\n"},
      {{"-S", "s", "-d", "d", "-U", "u", "-E"},
       "slotsync: -E logs in as the Windows user this runs as: it excludes --user and every way "
       "of giving a password\n"},
      {{"--dsn", "shop", "-S", "s", "-d", "d", "-E"},
       "slotsync: --dsn and --server exclude each other: the data source names the server\n"},
      {{"--dsn", "shop", "--databases", "f", "-E"},
       "slotsync: --dsn names one server: name its databases with -d a,b or --all-databases\n"},
      {{"-S", "s", "-E", "--quiet"}, "slotsync: -d/--database is required\n"},
  };
  for (const auto& [args, message] : cases) {
    err.str("");
    EXPECT_EQ(Run(args), cli::kExitUsage);
    EXPECT_EQ(err.str().rfind(message, 0), 0u) << err.str();
  }
  // An empty password is refused from every source, unless asked for.
  const std::pair<std::string, std::vector<std::string>> empty[] = {
      {"SLOTSYNC_PASSWORD", {}},
      {"standard input", {"--password-stdin"}},
      {"--password", {"--password", ""}},
  };
  environment["SLOTSYNC_PASSWORD"] = "";
  in.str("\n");
  for (const auto& [source, extra] : empty) {
    err.str("");
    EXPECT_EQ(Run(Connect(extra)), cli::kExitUsage);
    EXPECT_NE(err.str().find("the password from " + source +
                             " is empty; for a login without a password, give --empty-password"),
              std::string::npos)
        << err.str();
  }
  EXPECT_TRUE(clientsMade.empty());
  // In the language of the messages, all at once as well.
  text::SetMessageLanguage(text::Language::kChinese);
  const std::vector<std::string> noUser = {"-S", "s", "--quiet"};
  try {
    cli::ParseCommandLine({noUser.begin(), noUser.end()});
    ADD_FAILURE() << "no usage error";
  } catch (const cli::UsageError& e) {
    EXPECT_EQ(e.message, "必须给出 -d/--database 和 -U/--user");
  }
  text::SetMessageLanguage(text::Language::kEnglish);
  script.Answer(kSizeSql, Rows({"SizeID"}, {}));
  EXPECT_EQ(Run(Connect({"--empty-password"})), cli::kExitOk) << err.str();
  ASSERT_EQ(clientsMade.size(), 1u);
  EXPECT_EQ(clientsMade[0].Parameter("PASSWORD"), "");
  // In step, a plan has nothing to write, and says so.
  environment["SLOTSYNC_PASSWORD"] = "pw";
  ScriptCounts(12, 12);
  err.str("");
  const auto file = std::filesystem::temp_directory_path() / "slotsync-in-step.sql";
  EXPECT_EQ(Run(Connect({"--plan", "--script", file.string()})), cli::kExitOk);
  EXPECT_EQ(err.str(), "slotsync: in step: nothing to write; no script written\n");
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(Command, HelpDocumentsOptionsExitCodesAndExamples) {
  EXPECT_EQ(Run({"-?"}), cli::kExitOk);
  for (const char* needle :
       {"--dry-run", "--trace", "--yes", "--quiet", "--password-stdin", "SLOTSYNC_PASSWORD",
        "SLOTSYNC_ODBC_DRIVER", "Exit codes", "64", "74", "130", "Examples", "-N, --encrypt",
        "-C, --trust-server-certificate", "'db01\\SHOP'"}) {
    EXPECT_NE(out.str().find(needle), std::string::npos) << needle;
  }
  out.str("");
  EXPECT_EQ(Run({"--version"}), cli::kExitOk);
  EXPECT_EQ(out.str().rfind("slotsync ", 0), 0u);
}

TEST_F(Command, SeveralDatabasesAreNamedByCommasAFileOrTheServer) {
  EXPECT_EQ(cli::SplitDatabaseList("a,,b,c"), (std::vector<std::string>{"a,b", "c"}));
  EXPECT_EQ(cli::SplitDatabaseList(cli::DatabaseListItem("x,,y")),
            std::vector<std::string>{"x,,y"});
  std::istringstream file("shop01  # the first\n\n# a comment\n  db02 shop02 \n");
  const std::vector<cli::Target> targets = cli::ReadTargets(file, "srv");
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(targets[0].server + " " + targets[0].database, "srv shop01");
  EXPECT_EQ(targets[1].server + " " + targets[1].database, "db02 shop02");
  std::istringstream noServer("shop01\n");
  EXPECT_THROW(cli::ReadTargets(noServer, ""), cli::UsageError);
  // The most serious exit code of the databases decides.
  EXPECT_EQ(cli::MoreSerious(cli::kExitOk, cli::kExitLockedOut), cli::kExitLockedOut);
  EXPECT_EQ(cli::MoreSerious(cli::kExitLockedOut, cli::kExitRolledBack), cli::kExitRolledBack);
  EXPECT_EQ(cli::MoreSerious(cli::kExitInterrupted, cli::kExitCommitUnknown),
            cli::kExitCommitUnknown);

  // The server's catalog, read on master: nothing of this application here
  // that a run could write, each left out with its reason.
  const std::vector<std::string> columns = {
      "name",     "state_desc",       "Accessible",    "Updateability",
      "Standby",  "user_access_desc", "EngineEdition", "ProductVersion",
      "S_Modify", "StockDetailTemp",  "SizeGroup"};
  const auto database = [](const char* name, const char* state, const char* updateability,
                           const char* standby, const char* access, const char* edition) {
    const bool online = std::string(state) == "ONLINE";
    return std::vector<std::optional<std::string>>{
        name,
        state,
        "1",
        updateability ? std::optional<std::string>(updateability) : std::nullopt,
        standby,
        access,
        edition,
        "15.0.2000.5",
        online ? std::optional<std::string>("5") : std::nullopt,
        online ? std::optional<std::string>("6") : std::nullopt,
        std::string(name) == "hr" ? std::nullopt : std::optional<std::string>("7")};
  };
  script.Answer(std::string(entry::kApplicationDatabasesSql),
                Rows(columns, {database("hr", "ONLINE", "READ_WRITE", "0", "MULTI_USER", "3"),
                               database("ro", "ONLINE", "READ_ONLY", "0", "MULTI_USER", "3"),
                               database("sb", "ONLINE", "READ_ONLY", "1", "MULTI_USER", "3"),
                               database("sec", "ONLINE", "READ_WRITE", "0", "MULTI_USER", "3"),
                               database("su", "ONLINE", "READ_WRITE", "0", "SINGLE_USER", "3"),
                               database("rs", "RESTORING", nullptr, "0", "MULTI_USER", "3")}));
  script.Answer(std::string(entry::kSecondaryReplicasSql), Rows({"name"}, {{"sec"}}));
  EXPECT_EQ(Run({"-S", "srv", "--all-databases", "-U", "sa"}), cli::kExitCouldNotRun);
  EXPECT_EQ(err.str(),
            "slotsync: left out hr: no SizeGroup\n"
            "slotsync: left out ro: read-only\n"
            "slotsync: left out sb: in standby between log restores, so read-only\n"
            "slotsync: left out sec: a secondary replica of an availability group; run on the "
            "primary replica\n"
            "slotsync: left out su: in single-user mode: a run would take the one connection it "
            "allows\n"
            "slotsync: left out rs: not online (RESTORING)\n"
            "slotsync: no database of this application on srv that the login may open; "
            "nothing was done\n");
  ASSERT_EQ(clientsMade.size(), 1u);
  EXPECT_EQ(clientsMade[0].Parameter("DATABASE NAME"), "master");
  EXPECT_EQ(script.Log(),
            (std::vector<std::string>{
                "CONNECT", "OPEN " + std::string(entry::kApplicationDatabasesSql),
                "OPEN " + std::string(entry::kSecondaryReplicasSql), "DISCONNECT", "RELEASE"}));
  // Azure SQL Database: the read in master cannot look into the databases.
  script = Script();
  err.str("");
  script.Answer(std::string(entry::kApplicationDatabasesSql),
                Rows(columns, {database("shop", "ONLINE", "READ_WRITE", "0", "MULTI_USER", "5")}));
  EXPECT_EQ(Run({"-S", "srv", "--all-databases", "-U", "sa"}), cli::kExitUsage);
  EXPECT_NE(err.str().find("cannot look into the databases of Azure SQL Database"),
            std::string::npos)
      << err.str();
}

TEST_F(Command, ExitCodesFollowOutcomes) {
  struct Case {
    const char* name;
    std::function<void(RunFixture&)> script;
    int exitCode;
    const char* says = "";  // among the lines for people
    std::size_t leftBehind = 0;
  };
  const Case cases[] = {
      {"in step", [](RunFixture& f) { f.ScriptCounts(12, 12); }, cli::kExitOk},
      {"committed",
       [](RunFixture& f) {
         f.ScriptCounts(3, 2);
         f.ScriptFlagged({10});
         DetailScenario{}.Apply(f.script);
       },
       cli::kExitOk},
      {"out of step, nothing flagged",
       [](RunFixture& f) {
         f.ScriptCounts(14, 12);
         f.ScriptFlagged({});
       },
       cli::kExitNothingFlagged},
      {"could not run", [](RunFixture& f) { f.script.FailConnect("Login failed"); },
       cli::kExitCouldNotRun},
      {"rolled back",
       [](RunFixture& f) {
         f.ScriptCounts(14, 12);
         f.ScriptFlagged({});
         f.script.FailCommit("log full");
       },
       cli::kExitRolledBack},
      // The old table stays without the key the run took off: not "nothing
      // was changed", and the key is named with what to run.
      {"rolled back",
       [](RunFixture& f) {
         f.ScriptCounts(3, 2);
         f.ScriptFlagged({10});
         DetailScenario scenario;
         scenario.dependents = {
             {"StockDetail",
              {{"F", "FK_Bill", "[dbo].[StockBill]", "0", "0", "0", std::nullopt, "1"},
               {"FC", "FK_Bill", "BillID", "0", "0", "1", "BillID", "1"}}}};
         scenario.Apply(f.script);
         f.script.Fail("sp_rename 'dbo.Tmp_StockDetail', 'StockDetail'", "renamed elsewhere");
         f.script.Fail(
             "Alter Table [dbo].[StockDetail] With NoCheck Add Constraint [FK_Bill] Foreign Key "
             "([BillID]) References [dbo].[StockBill] ([BillID])",
             "no key in the referenced table", "42000", 1776);
       },
       cli::kExitRolledBack,
       "rolled back: N=3, StockDetailTemp has 2 slot columns; nothing was changed but 1 thing "
       "the run could not undo, named below\n",
       1},
      {"commit unknown",
       [](RunFixture& f) {
         f.ScriptCounts(14, 12);
         f.ScriptFlagged({});
         f.script.FailCommit("link failure", "08S01");
       },
       cli::kExitCommitUnknown},
  };
  for (const auto& c : cases) {
    for (const bool json : {false, true}) {
      Script fresh;
      std::swap(script, fresh);
      c.script(*this);
      out.str("");
      err.str("");
      EXPECT_EQ(
          Run(Connect(json ? std::vector<std::string>{"--json"} : std::vector<std::string>{})),
          c.exitCode)
          << c.name << ": " << err.str();
      EXPECT_NE(err.str().find(c.says), std::string::npos) << c.name << ": " << err.str();
      EXPECT_EQ(
          err.str().find("slotsync: first undo what the warnings above say") != std::string::npos,
          c.leftBehind > 0)
          << c.name << ": " << err.str();
      if (!json) continue;
      // The JSON of every outcome follows the one schema and carries the
      // exit code and the outcome's own name.
      EXPECT_EQ(RunSchemaErrors(out.str()), "") << c.name << ": " << out.str();
      EXPECT_EQ(nlohmann::json::parse(out.str())["exitCode"], c.exitCode) << c.name;
      EXPECT_EQ(nlohmann::json::parse(out.str())["outcome"], c.name);
      EXPECT_EQ(nlohmann::json::parse(out.str())["leftBehind"].size(), c.leftBehind) << c.name;
    }
  }
}

TEST_F(Command, TracePrintsEveryStatementAndTheSummaryNamesTheCounts) {
  ScriptCounts(12, 12);
  EXPECT_EQ(Run({"--server", "srv", "--database", "db", "--user", "sa", "--trace"}), 0);
  EXPECT_NE(out.str().find("[ok] Select top 1 * From Size\n"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("[ok] " + kColumnCountSql + "\n"), std::string::npos);
  EXPECT_NE(out.str().find("in step: N=12, StockDetailTemp has 12 slot columns"),
            std::string::npos);
}

TEST_F(Command, DryRunPrintsThePlanAndRollsBack) {
  ScriptCounts(14, 12);
  ScriptFlagged({});
  EXPECT_EQ(Run(Connect({"--dry-run"})), cli::kExitNothingFlagged);
  EXPECT_NE(out.str().find("[ok] " + kFlaggedSql), std::string::npos);
  const auto& log = script.Log();
  EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()),
            (std::vector<std::string>{"START TRANSACTION", "ROLLBACK", kReleaseLock, "RELEASE"}));
}

TEST_F(Command, PasswordSources) {
  struct Case {
    std::vector<std::string> extra;
    std::optional<std::string> environmentPassword;
    std::string stdinText;
    std::string expected;
    bool warns;
  };
  const Case cases[] = {
      {{}, "from-env", "", "from-env", false},
      {{"--password-stdin"}, "from-env", "p;w}d=1\n", "p;w}d=1", false},
      {{"--password", "visible"}, std::nullopt, "", "visible", true},
  };
  for (const auto& c : cases) {
    Script fresh;
    std::swap(script, fresh);
    clientsMade.clear();
    err.str("");
    script.Answer(kSizeSql, Rows({"SizeID"}, {}));
    environment.clear();
    if (c.environmentPassword) environment["SLOTSYNC_PASSWORD"] = *c.environmentPassword;
    in.str(c.stdinText);
    in.clear();
    EXPECT_EQ(Run(Connect(c.extra)), cli::kExitOk);
    ASSERT_EQ(clientsMade.size(), 1u);
    EXPECT_EQ(clientsMade[0].Parameter("PASSWORD"), c.expected);
    EXPECT_EQ(err.str().find("visible to other users") != std::string::npos, c.warns);
  }
  // No password anywhere and no terminal to ask on: a usage error, not an empty login.
  environment.clear();
  EXPECT_EQ(Run(Connect()), cli::kExitUsage);
  // Longer than any argument the library takes: refused, not cut.
  err.str("");
  in.str(std::string(5000, 'p') + "\n");
  in.clear();
  EXPECT_EQ(Run(Connect({"--password-stdin"})), cli::kExitUsage);
  EXPECT_NE(err.str().find("the password from standard input is longer than 4096 bytes"),
            std::string::npos)
      << err.str();
}

// --password's value is found where the parser reads it and blanked to a
// fixed "***", the arguments after it moved up: the same text elsewhere
// (the server's name) stays, and the line does not tell the length.
TEST_F(Command, ThePasswordIsBlankedAtItsOwnPositionToAFixedLength) {
  struct Case {
    std::u16string line;     // a Windows command line
    std::u16string blanked;  // what other processes read afterwards
  };
  const Case cases[] = {
      {u"slotsync.exe -S s3cret --password s3cret -d Shop",
       u"slotsync.exe -S s3cret --password *** -d Shop"},
      {u"\"C:\\a b\\slotsync.exe\" --server=s3cret \"--password=s3 cret\" -U sa",
       u"\"C:\\a b\\slotsync.exe\" --server=s3cret --password=*** -U sa"},
      {u"x.exe -S --password --password \"p\\\"w\" -U sa",
       u"x.exe -S --password --password *** -U sa"},
      {u"x.exe -N --password \"long \"\"secret\"\"\" -C", u"x.exe -N --password *** -C"},
      {u"x.exe --password a -U sa", u"x.exe --password *** -U sa"},
      {u"x.exe -S db01 -d Shop", u"x.exe -S db01 -d Shop"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cli::BlankPasswordInCommandLine(c.line, c.line.size() + 2), c.blanked);
  }
  // Without room to grow, a short password keeps its length, in "*".
  EXPECT_EQ(cli::BlankPasswordInCommandLine(u"x.exe --password a -U sa", 24),
            u"x.exe --password * -U sa");
  // Quotes, backslashes and doubled quotes split as CommandLineToArgvW does.
  std::vector<std::u16string> texts;
  for (const auto& arg :
       cli::SplitWindowsCommandLine(u"x.exe \"a b\"c d\\\\\"e f\" g\\\"h \"i\"\"j\" k\\l")) {
    texts.push_back(arg.text);
  }
  EXPECT_EQ(texts,
            (std::vector<std::u16string>{u"x.exe", u"a bc", u"d\\e f", u"g\"h", u"i\"j k\\l"}));

  // POSIX: the arguments as the kernel lays them out, one after another.
  std::string area("slotsync\0-S\0s3cret\0--password\0s3cret\0-d\0Shop\0", 45);
  std::vector<char*> argv;
  for (std::size_t at = 0; at < area.size(); at += std::strlen(&area[at]) + 1) {
    argv.push_back(&area[at]);
  }
  cli::BlankPasswordArguments(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(area, std::string("slotsync\0-S\0s3cret\0--password\0***\0-d\0Shop\0\0\0\0", 45));
  EXPECT_EQ(std::string(argv[6]), "Shop");
}

TEST_F(Command, EverySpellingOfTheConnectionOptionsConnectsAlike) {
  const std::vector<std::vector<std::string>> spellings = {
      {"-S", "srv", "-d", "db", "-U", "sa"},
      {"--server=srv", "--database=db", "--user=sa"},
      {"-Ssrv", "-ddb", "-Usa", "-N", "--quiet"},
      {"-S", "srv", "--database", "db", "-U", "sa", "-No", "-C"},
  };
  for (const auto& args : spellings) {
    clientsMade.clear();
    EXPECT_EQ(Run(args), cli::kExitOk) << err.str();
    ASSERT_EQ(clientsMade.size(), 1u);
    EXPECT_EQ(clientsMade[0].Parameter("SERVER NAME"), "srv");
    EXPECT_EQ(clientsMade[0].Parameter("DATABASE NAME"), "db");
    EXPECT_EQ(clientsMade[0].Parameter("USER NAME"), "sa");
  }
}

// The command runs under the C locale here, whose text is taken as UTF-8.
TEST_F(Command, ArgumentsGbkCannotHoldAreRefusedAndThePasswordIsNeverShown) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-S",
        "B\xC3\xA4"
        "cker"},
       "--server holds a character that code page 936 (GBK) has not: B"},
      {{"--password", "P\xC3\xA4sswort"}, "the password holds a character"},
      {{"--password-stdin"}, "the password from standard input holds a NUL byte"},
  };
  in.str(std::string("p\0w\n", 4));
  for (const auto& [extra, message] : cases) {
    err.str("");
    std::vector<std::string> args = {"-S", "srv", "-d", "db", "-U", "sa"};
    if (extra[0] == "-S")
      args[1] = extra[1];
    else
      args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(Run(args), cli::kExitUsage);
    EXPECT_NE(err.str().find(message), std::string::npos) << err.str();
    EXPECT_EQ(err.str().find("sswort"), std::string::npos);
  }
  EXPECT_TRUE(clientsMade.empty());
}

TEST_F(Command, ServerTextIsEscapedOnATerminalAndALostOutputExits74) {
  // A terminal, and a pipe that may end on one ("2>&1 | tee").
  for (const bool terminal : {true, false}) {
    ScriptCounts(14, 12);
    script.Fail(kFlaggedSql, "bad\x1b[2K\rcommitted: all done");
    errIsTerminal = terminal;
    err.str("");
    EXPECT_EQ(Run(Connect()), cli::kExitCouldNotRun);
    EXPECT_NE(err.str().find("slotsync: bad\\x1B[2K\\x0Dcommitted: all done\n"), std::string::npos)
        << err.str();
  }
  out.setstate(std::ios::badbit);
  EXPECT_EQ(Run({"--version"}), cli::kExitOutputFailed);
}

TEST_F(Command, OutOfStepWithNothingFlaggedIsAWarningThatSaysWhatToFlag) {
  ScriptCounts(14, 12);
  ScriptFlagged({});
  EXPECT_EQ(Run(Connect()), cli::kExitNothingFlagged);
  EXPECT_NE(err.str().find("warning: the size groups need N=14 slot columns, StockDetailTemp has "
                           "12, and S_Modify flags no table"),
            std::string::npos)
      << err.str();
  EXPECT_NE(err.str().find("slotsync: set Modified=1 in S_Modify"), std::string::npos);
  // Its own outcome, never "committed"; a plan of it writes no script.
  const std::filesystem::path file = std::filesystem::temp_directory_path() / "slotsync-none.sql";
  std::filesystem::remove(file);
  for (const bool plan : {false, true}) {
    out.str("");
    err.str("");
    EXPECT_EQ(Run(plan ? std::vector<std::string>{"-S", "srv", "-d", "db", "-U", "sa", "--plan",
                                                  "--script", file.string()}
                       : std::vector<std::string>{"-S", "srv", "-d", "db", "-U", "sa"}),
              cli::kExitNothingFlagged);
    EXPECT_EQ(out.str().find("committed"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("out of step, nothing flagged: N=14, StockDetailTemp has 12 slot "
                             "columns, and S_Modify flags no table; nothing was changed"),
              std::string::npos)
        << out.str();
  }
  EXPECT_NE(err.str().find("out of step, nothing flagged: nothing to write; no script written"),
            std::string::npos)
      << err.str();
  EXPECT_FALSE(std::filesystem::exists(file));
}

// A detail table rebuilt: its line as it ends, the summary table, and the
// audit line, which holds the login but never the password.
TEST_F(Command, ShowsEachTableSummarisesAndLogsTheRun) {
  ScriptCounts(3, 2);
  ScriptFlagged({10});
  DetailScenario{}.Apply(script);
  const auto log =
      std::filesystem::temp_directory_path() /
      ("slotsync-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove(log);
  environment["SLOTSYNC_PASSWORD"] = "secret-pw";
  ASSERT_EQ(Run({"-S", "srv", "-d", "db", "-U", "sa", "--log", log.string()}), cli::kExitOk)
      << err.str();
  EXPECT_NE(err.str().find("[1/1] TableTag 10 StockDetail: copying 5 rows ... 0.0 s, rebuilt\n"),
            std::string::npos)
      << err.str();
  EXPECT_NE(out.str().find("TableTag table                 kind            rows copied   rows "
                           "lost  seconds  what happened\n10       StockDetail           detail"
                           "                    5           0      0.0  rebuilt\n"),
            std::string::npos)
      << out.str();
  std::ifstream in(log);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line.find("secret-pw"), std::string::npos);
  EXPECT_EQ(RunSchemaErrors(line), "");
  const auto json = nlohmann::json::parse(line);
  EXPECT_EQ(json["login"], "sa");
  EXPECT_EQ(json["database"], "db");
  EXPECT_EQ(json["outcome"], "committed");
  EXPECT_EQ(json["exitCode"], 0);
  EXPECT_EQ(json["tables"][0]["rows"], 5);
  EXPECT_EQ(json["tables"][0]["rowsCopied"], 5);
  EXPECT_EQ(json["tables"][0]["status"], "rebuilt");
  EXPECT_EQ(json["statementsSent"], static_cast<std::int64_t>(script.Statements().size()));
  EXPECT_FALSE(std::getline(in, line));
  std::filesystem::remove(log);
  // A log that cannot be opened refuses the run before it connects: an
  // audited change never runs unaudited.
  err.str("");
  clientsMade.clear();
  EXPECT_EQ(Run(Connect({"--log", "/nonexistent/dir/log"})), cli::kExitOutputFailed);
  EXPECT_EQ(err.str().rfind("slotsync: the log /nonexistent/dir/log could not be opened: ", 0), 0u)
      << err.str();
  EXPECT_NE(err.str().find("\nslotsync: nothing was done: a run given --log does not begin "
                           "without its log"),
            std::string::npos);
  EXPECT_TRUE(clientsMade.empty());
  // So does a script that could not be kept, alone or for several databases.
  for (const std::vector<std::string>& script :
       {Connect({"--plan", "--script", "/nonexistent/dir/plan.sql"}),
        std::vector<std::string>{"-S", "srv", "-U", "sa", "-d", "a,b", "--plan", "--script",
                                 "/proc/plans"}}) {
    err.str("");
    EXPECT_EQ(Run(script), cli::kExitOutputFailed) << script.back();
    EXPECT_EQ(err.str().rfind("slotsync: the script could not be written: ", 0), 0u) << err.str();
    EXPECT_TRUE(clientsMade.empty());
  }
  // Nothing is written through a link, and a FIFO is neither waited on nor
  // written: the log refuses the run, the script is refused or replaces the
  // link.
  std::filesystem::path dir = log;
  dir += ".d";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "other") << "kept\n";
  std::filesystem::create_symlink(dir / "other", dir / "link");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  struct Case {
    std::string file;
    std::string logSays;
    int scriptExit;
  };
  for (const Case& c :
       {Case{"link", "is a symbolic link, which is not followed", cli::kExitOk},
        Case{"fifo", "is a FIFO or a device, not a regular file", cli::kExitOutputFailed}}) {
    SCOPED_TRACE(c.file);
    err.str("");
    ScriptCounts(3, 2);
    EXPECT_EQ(Run(Connect({"--log", (dir / c.file).string()})), cli::kExitOutputFailed);
    EXPECT_NE(err.str().find(c.logSays), std::string::npos) << err.str();
    ScriptCounts(3, 3);
    EXPECT_EQ(Run(Connect({"--plan", "--script", (dir / c.file).string()})), c.scriptExit)
        << err.str();
  }
  std::ifstream kept(dir / "other");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept\n");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dir / "link")));
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo"));
  std::filesystem::remove_all(dir);
}

// A plan's report: its outcome first, a refused table pointed to its
// problems, a table skipped by design with the reason, and no statement.
TEST_F(Command, ThePlanReportBeginsWithItsOutcomeAndSaysWhyEachTableStands) {
  ScriptCounts(3, 2);
  ScriptFlagged({10, 27});
  DetailScenario detail;
  detail.hasRow = false;
  detail.Apply(script);
  EXPECT_EQ(Run(Connect({"--plan"})), cli::kExitRolledBack) << err.str();
  const std::string report = out.str();
  EXPECT_EQ(report.rfind("plan: N=3, StockDetailTemp has 2 slot columns; a run would not commit, "
                         "for the problems listed; nothing was written or locked\n",
                         0),
            0u)
      << report;
  EXPECT_NE(report.find("TableTag 10 (detail): refused (see problems)\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("TableTag 27 (none): skipped: TableTags 27 and 35 are never rebuilt"),
            std::string::npos)
      << report;
  EXPECT_EQ(report.find("[planned"), std::string::npos) << report;
  // A table refused for its dictionary is named as S_Modify names it.
  out.str("");
  script = Script();
  ScriptCounts(3, 2);
  ScriptFlagged({10});
  detail.hasRow = true;
  detail.tableName = "Stock;Detail";
  detail.Apply(script);
  EXPECT_EQ(Run(Connect({"--plan"})), cli::kExitRolledBack) << err.str();
  EXPECT_NE(out.str().find("TableTag 10 Stock;Detail (detail): refused (see problems)\n"),
            std::string::npos)
      << out.str();
}

// Columns line up by what the terminal shows: "备注" takes four columns, not
// its four GBK bytes or six UTF-8 ones.
TEST_F(Command, SummaryColumnsAreAlignedByDisplayWidth) {
  const std::string gbk = "\xB1\xB8\xD7\xA2";  // 备注
  EXPECT_EQ(cli::DisplayWidth(gbk), 4u);
  EXPECT_EQ(cli::DisplayWidth("Stock" + gbk), 9u);
  EXPECT_EQ(cli::PadToWidth("\xE5\xA4\x87\xE6\xB3\xA8", gbk, 6), "\xE5\xA4\x87\xE6\xB3\xA8  ");
  EXPECT_EQ(cli::PadToWidth("LongName", "LongName", 4), "LongName ");
  // Chinese headings and words too: each column still ends where its heading does.
  ScriptCounts(3, 2);
  ScriptFlagged({10});
  DetailScenario{}.Apply(script);
  ASSERT_EQ(Run({"-S", "srv", "-d", "db", "-U", "sa", "--lang", "zh_CN"}), cli::kExitOk);
  text::SetMessageLanguage(text::Language::kEnglish);
  EXPECT_NE(out.str().find("TableTag 表名                  类型               复制行数    丢失行数"
                           "     秒数  处理结果\n10       StockDetail           明细表       "
                           "             5           0      0.0  已重建\n"),
            std::string::npos)
      << out.str();
}

// Locked out at a table: exit 5 after each retry, pausing longer each time.
TEST_F(Command, LockedOutExitsFiveAfterRetriesThatWaitLongerEachTime) {
  ScriptCounts(3, 2);
  ScriptFlagged({10});
  for (int run = 0; run < 3; ++run) {
    script.Fail("Select Count(*) From StockDetail With (TabLockX, HoldLock)",
                "Lock request time out period exceeded.", "HY000", entry::kLockTimeoutError);
  }
  DetailScenario{}.Apply(script);
  EXPECT_EQ(Run(Connect({"--lock-timeout", "7", "--retry", "2", "--json"})), cli::kExitLockedOut);
  EXPECT_EQ(RunSchemaErrors(out.str()), "") << out.str();
  EXPECT_EQ(nlohmann::json::parse(out.str())["outcome"], "locked out");
  EXPECT_EQ(pauses, (std::vector<int>{2, 4}));
  const auto& log = script.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "EXEC SET LOCK_TIMEOUT 7000"), 3);
  EXPECT_EQ(std::count(log.begin(), log.end(), "ROLLBACK"), 3);
  EXPECT_NE(err.str().find("locked out on try 2 of 3: table StockDetail is held by a session "
                           "that has let go of it since; trying again in 4 s"),
            std::string::npos)
      << err.str();
  // The tries given are spent: --retry is not advised again.
  EXPECT_NE(err.str().find("slotsync: nothing needs undoing; every one of 3 tries was locked "
                           "out; run slotsync again when the sessions named above have ended "
                           "their work\n"),
            std::string::npos)
      << err.str();
  EXPECT_EQ(Run(Connect({"--retry", "11"})), cli::kExitUsage);
  // A deadlock victim gives way and is tried again like a lock wait.
  script = Script();
  pauses.clear();
  ScriptCounts(3, 2);
  ScriptFlagged({10});
  script.Fail("Select Count(*) From StockDetail With (TabLockX, HoldLock)",
              "Transaction (Process ID 52) was deadlocked on lock resources with another process "
              "and has been chosen as the deadlock victim. Rerun the transaction.",
              "40001", entry::kDeadlockError);
  DetailScenario{}.Apply(script);
  EXPECT_EQ(Run(Connect({"--retry", "1"})), cli::kExitOk) << err.str();
  EXPECT_EQ(pauses, (std::vector<int>{2}));
}

// --online --clean-up only removes what a killed online run left, under the
// database's lock and the short lock timeout, and says so.
TEST_F(Command, OnlineCleanUpRemovesLeftoversAndSaysSo) {
  script.Answer(DatabaseLockSql(), Column("", {"0"}));
  script.Answer(rebuild::LeftoverQuery(), Column("name", {"SalesDetail"}));
  EXPECT_EQ(Run(Connect({"--online", "--clean-up", "--cutover-timeout", "3"})), cli::kExitOk)
      << err.str();
  const auto statements = script.Statements();
  ASSERT_FALSE(statements.empty());
  EXPECT_EQ(statements.front(), "EXEC SET LOCK_TIMEOUT 3000");
  EXPECT_NE(std::find(statements.begin(), statements.end(),
                      "EXEC If Object_ID(N'[dbo].[slotsync_online_SalesDetail]', N'TR') Is Not "
                      "Null Drop Trigger [dbo].[slotsync_online_SalesDetail]"),
            statements.end());
  EXPECT_NE(err.str().find("removed what an earlier online run left behind: the capture trigger "
                           "dbo.slotsync_online_SalesDetail on SalesDetail and the table "
                           "dbo.Tmp_SalesDetail"),
            std::string::npos)
      << err.str();
}

}  // namespace
}  // namespace slotsync::testing
