// The command over several databases: each run in a process of its own
// against the scripted driver, which finds each database's scenario and
// writes each its log by the database's name.

#include <csignal>
#include <fstream>

#include <nlohmann/json.hpp>

#include "e2e_fixture.h"
#include "entry/database_catalog.h"
#include "run_schema.h"

namespace slotsync::e2e {
namespace {

using testing::Column;
using testing::DatabaseLockSql;
using testing::FourTables;

const std::string kTabLock = "Select Count(*) From StockDetail With (TabLockX, HoldLock)";

class ManyDatabases : public EndToEnd {
 protected:
  // Records a run of the database scripted by `setUp` under its own name and
  // keeps the scenario as <name>.txt.
  void Database(const std::string& name, const std::function<void()>& setUp) {
    script = testing::Script();
    writer = scripted_odbc::ScenarioWriter();
    setUp();
    script.Answer(DatabaseLockSql(), Column("", {"0"}));
    Record(false, name);
    std::filesystem::copy_file(ScenarioPath(), directory_.Path() / (name + ".txt"),
                               std::filesystem::copy_options::overwrite_existing);
  }

  std::vector<std::string> LogOf(const std::string& name) const {
    return ReadDriverLog(directory_.Path() / (name + ".log"));
  }

  ProgramRun Many(const std::vector<std::string>& options,
                  const std::vector<std::string>& before = {}) {
    for (const char* name : {"shop01", "shop02", "shop03", "master"}) {
      std::filesystem::remove(directory_.Path() / (std::string(name) + ".log"));
    }
    EnvironmentChanges environment = Environment();
    environment["SCRIPTED_ODBC_SCENARIO"] = (directory_.Path() / "{database}.txt").string();
    environment["SCRIPTED_ODBC_LOG"] = (directory_.Path() / "{database}.log").string();
    std::vector<std::string> args = before;
    args.insert(args.end(), {Built::Command(), "-S", "srv", "-U", "sa", "--lock-timeout", "0"});
    args.insert(args.end(), options.begin(), options.end());
    return RunProgram(args, environment);
  }

  static long Count(const std::vector<std::string>& log, const std::string& event) {
    return std::count(log.begin(), log.end(), event);
  }

  void ThreeOutcomes() {
    Database("shop01", [&] { ScriptCounts(3, 3); });
    Database("shop02", [&] { FourTables().Apply(*this); });
    Database("shop03", [&] {
      script.Fail("Exec CreateInvoiceDetailTrigger 10", "the trigger procedure failed", "42000",
                  50000);
      FourTables().Apply(*this);
    });
  }
};

TEST_P(ManyDatabases, OneInStepOneCommittedOneFailedGiveOneSummaryAndTheWorstExitCode) {
  ThreeOutcomes();
  const std::filesystem::path log = directory_.Path() / "runs.jsonl";
  const ProgramRun run = Many({"-d", "shop01,shop02,shop03", "--log", log.string()});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const std::vector<std::string> out = Lines(run.out);
  ASSERT_EQ(out.size(), 5u) << run.out << run.err;
  EXPECT_EQ(out[0],
            "database  outcome        tables rebuilt  rows copied  lost  stays flagged  seconds  "
            "message");
  EXPECT_TRUE(out[1].starts_with(
      "shop01    in step                     0            0     0              0 "))
      << out[1];
  EXPECT_TRUE(out[2].starts_with(
      "shop02    committed                   4           10     0              0 "))
      << out[2];
  EXPECT_TRUE(out[3].starts_with(
      "shop03    rolled back                 -            -     -              - "))
      << out[3];
  EXPECT_NE(out[3].find("  TableTag 10: the trigger procedure failed"), std::string::npos)
      << out[3];
  EXPECT_EQ(out[4], "3 databases: 1 in step, 1 committed, 1 rolled back");
  EXPECT_EQ(Lines(run.err).front(),
            "slotsync: 3 databases, up to 1 at once: shop01, shop02, shop03");
  // Each database's lines as they come, table k of n among them.
  for (const char* said :
       {"shop01: running\nshop01: in step: N=3",
        "shop02: [1/4] TableTag 10 StockDetail: copying 5 rows ...",
        "shop02: committed: N=3, StockDetailTemp still has 2 slot columns (it was not flagged)",
        "shop03: [1/4] TableTag 10 StockDetail: copying 5 rows ..."}) {
    EXPECT_NE(run.err.find(said), std::string::npos) << said << "\n" << run.err;
  }
  // What each database holds: shop02 committed once, shop03 rolled back.
  EXPECT_EQ(Count(LogOf("shop01"), "SET AUTOCOMMIT OFF"), 0);
  EXPECT_EQ(Count(LogOf("shop02"), "COMMIT"), 1);
  EXPECT_EQ(Count(LogOf("shop02"), "ROLLBACK"), 0);
  EXPECT_EQ(Count(LogOf("shop03"), "COMMIT"), 0);
  EXPECT_EQ(Count(LogOf("shop03"), "ROLLBACK"), 1);
  // One log line per database, each its own.
  const std::vector<std::string> logLines = Lines(ReadText(log));
  ASSERT_EQ(logLines.size(), 3u);
  const std::string outcomes[] = {"in step", "committed", "rolled back"};
  for (std::size_t i = 0; i < 3; ++i) {
    const nlohmann::json line = nlohmann::json::parse(logLines[i]);
    EXPECT_EQ(line["database"], "shop0" + std::to_string(i + 1));
    EXPECT_EQ(line["outcome"], outcomes[i]);
  }

  const ProgramRun json = Many({"-d", "shop01,shop02,shop03", "--json", "-j", "3"});
  EXPECT_EQ(json.exitCode, 1) << json.err;
  const nlohmann::json result = nlohmann::json::parse(json.out);
  ASSERT_EQ(result["databases"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(result["databases"][i]["database"], "shop0" + std::to_string(i + 1));
    EXPECT_EQ(result["databases"][i]["outcome"], outcomes[i]);
    EXPECT_EQ(result["databases"][i]["exitCode"], i == 2 ? 1 : 0);
  }
  EXPECT_EQ(result["databases"][1]["tables"].size(), 4u);
  EXPECT_EQ(
      result["totals"],
      nlohmann::json({{"databases", 3}, {"in step", 1}, {"committed", 1}, {"rolled back", 1}}));
  EXPECT_EQ(result["exitCode"], 1);

  // Stopping at the first failure leaves the later databases alone.
  const ProgramRun stopped = Many({"-d", "shop03,shop01", "--stop-on-failure"});
  EXPECT_EQ(stopped.exitCode, 1);
  EXPECT_EQ(Lines(stopped.out).back(), "2 databases: 1 rolled back, 1 not started");
  EXPECT_TRUE(LogOf("shop01").empty());

  // A refused login is tried once: the same password on the other databases
  // of the server could trip a lockout policy.
  Database("master", [&] {
    ScriptCounts(3, 3);
    writer.FailCall(scripted_odbc::Call::kConnect, "28000", "Login failed for user 'sa'.");
  });
  const ProgramRun refused = Many({"-d", "master,shop01,shop02,shop03", "--json"});
  EXPECT_EQ(refused.exitCode, 2) << refused.err;
  EXPECT_NE(refused.err.find("slotsync: the login failed on master: no other database on srv was "
                             "tried, so a lockout policy is not triggered"),
            std::string::npos)
      << refused.err;
  for (const char* other : {"shop01", "shop02", "shop03"}) EXPECT_TRUE(LogOf(other).empty());
  const nlohmann::json fleet = nlohmann::json::parse(refused.out);
  EXPECT_EQ(fleet["databases"][0]["loginFailed"], true);
  EXPECT_EQ(fleet["totals"]["not started"], 3);
}

// A file of targets, planned, with one script per database in a directory.
TEST_P(ManyDatabases, AFileOfTargetsIsPlannedWithAScriptPerDatabase) {
  Database("shop01", [&] { ScriptCounts(3, 3); });
  Database("shop02", [&] { FourTables().Apply(*this); });
  const std::filesystem::path file = directory_.Path() / "shops.txt";
  std::ofstream(file) << "# the shops\nshop02\n  srv shop01   # in step\n";
  const std::filesystem::path scripts = directory_.Path() / "scripts";
  const ProgramRun run =
      Many({"--databases", file.string(), "--plan", "--script", scripts.string()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Lines(run.out).back(), "2 databases: 1 planned, 1 in step");
  EXPECT_TRUE(std::filesystem::exists(scripts / "shop02.sql"));
  EXPECT_FALSE(std::filesystem::exists(scripts / "shop01.sql"));
  const ProgramRun parsed = RunProgram(
      {SLOTSYNC_E2E_NODE, SLOTSYNC_E2E_TSQL_CHECK, (scripts / "shop02.sql").string()}, {});
  EXPECT_EQ(parsed.exitCode, 0) << parsed.out << parsed.err;
  // Reads only, in both.
  for (const char* name : {"shop01", "shop02"}) {
    EXPECT_EQ(Count(LogOf(name), "SET AUTOCOMMIT OFF"), 0) << name;
  }
  // A login without a password: each child is told so, none reads one.
  const ProgramRun bare = Many({"--databases", file.string(), "--plan", "--empty-password"});
  EXPECT_EQ(bare.exitCode, 0) << bare.err;
  EXPECT_EQ(Lines(bare.out).back(), "2 databases: 1 planned, 1 in step") << bare.err;
}

// A database whose rebuild loses an index by design, empties its change
// tables and leaves a table flagged at the size-decrease notice: the
// fleet's plan and run say so after its line, count it in the table and
// carry it in the JSON, as one database's run would.
TEST_P(ManyDatabases, WhatEachDatabaseLosesAndLeavesFlaggedReachesTheFleetsReport) {
  Database("shop01", [&] { ScriptCounts(3, 3); });
  Database("shop02", [&] {
    FourTables tables;
    tables.stockDetail.xColumns = {"x_1", "x_2", "x_3", "x_4"};
    tables.stockDetail.sizeText = "1.0.2.1";
    tables.stockDetail.companionRows = "4";
    tables.stockDetail.dependents = {
        {"StockDetail",
         {{"I", "IX_Slot4", "NONE", "4", "0", "0", std::nullopt, "1"},
          {"IC", "x_4", std::nullopt, "4", "0", "1", std::nullopt, "1"}}}};
    tables.Apply(*this);
  });
  for (const bool plan : {true, false}) {
    SCOPED_TRACE(plan ? "plan" : "run");
    std::vector<std::string> options = {"-d", "shop01,shop02"};
    if (plan) options.push_back("--plan");
    const ProgramRun run = Many(options);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    for (const std::string said :
         {"shop02: slotsync: TableTag 10 lost by design: index IX_Slot4 on StockDetail (x_4 is "
          "no column of the new table)\n",
          "shop02: slotsync: TableTag 10 recreated empty by design: StockDetail_U 4, "
          "StockDetail_I 4, StockDetail_D 4\n",
          "shop02: slotsync: TableTag 10 stays flagged: the size texts of StockDetail"}) {
      EXPECT_NE(run.err.find(said), std::string::npos) << said << "\n" << run.err;
    }
    const std::vector<std::string> out = Lines(run.out);
    ASSERT_GE(out.size(), 3u) << run.out;
    EXPECT_TRUE(out[out.size() - 2].starts_with(
        std::string("shop02    ") + (plan ? "planned     " : "committed   ") +
        "                4           10     1              1 "))
        << out[out.size() - 2];

    options.push_back("--json");
    const ProgramRun json = Many(options);
    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(testing::RunSchemaErrors(json.out), "") << json.out;
    const nlohmann::json shop02 = nlohmann::json::parse(json.out)["databases"][1];
    EXPECT_EQ(shop02["lost"], 1);
    EXPECT_EQ(shop02["staysFlagged"], 1);
    EXPECT_EQ(shop02["tables"][0]["status"], plan ? "planned" : "rebuilt, size texts left");
    EXPECT_EQ(shop02["tables"][0]["emptied"],
              nlohmann::json::parse(R"([{"table":"StockDetail_U","rows":4},
                                        {"table":"StockDetail_I","rows":4},
                                        {"table":"StockDetail_D","rows":4}])"));
  }
}

// Two at once, one of them held by another run: it locks out, the others
// finish, and the command says so with the lock-out's exit code.
TEST_P(ManyDatabases, ADatabaseHeldByAnotherRunLocksOutWhileTheOthersFinish) {
  const sql::ResultSet holder =
      testing::Rows({"session_id", "host_name", "program_name", "login_name", ""},
                    {{"53", "POS-07", "ShopPOS.exe", "cashier", "95"}});
  Database("shop01", [&] {
    script.Answer(DatabaseLockSql(), Column("", {"-1"}));
    script.Answer(DatabaseLockSql(60000), Column("", {"-1"}));
    script.Answer(entry::DatabaseLockHoldersSql(), holder);
    FourTables().Apply(*this);
  });
  ASSERT_EQ(recorded.outcome, entry::Outcome::kLockedOut) << recorded.message;
  Database("shop02", [&] { FourTables().Apply(*this); });
  Database("shop03", [&] { ScriptCounts(3, 3); });
  const ProgramRun run = Many({"-d", "shop01,shop02,shop03", "-j", "2"});
  EXPECT_EQ(run.exitCode, 5) << run.err;
  EXPECT_EQ(Lines(run.out).back(), "3 databases: 1 locked out, 1 committed, 1 in step");
  EXPECT_NE(run.err.find("shop01: slotsync: waiting up to 60 s for another run on this database "
                         "to end"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("shop01: slotsync: another run holds the database (session 53 (host "
                         "POS-07, program ShopPOS.exe, login cashier, transaction open 95 s)) "
                         "and did not end within 60 s"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(Count(LogOf("shop01"), "SET AUTOCOMMIT OFF"), 0);
  EXPECT_EQ(Count(LogOf("shop02"), "COMMIT"), 1);
}

// Every database of the application on the server, from one catalog read on
// master; those without the dictionary or the login's access are named and
// left out.
TEST_P(ManyDatabases, AllDatabasesTakesThoseWithTheDictionaryThatTheLoginMayOpen) {
  Database("shop01", [&] { ScriptCounts(3, 3); });
  // A plan that finds a problem: quantities in a slot the new N drops.
  Database("shop02", [&] {
    FourTables tables;
    tables.stockDetail.xColumns = {"x_1", "x_2", "x_3", "x_4"};
    tables.stockDetail.sizeText = "1.0.2.1";
    tables.stockDetail.quantitiesAboveN = "2";
    tables.Apply(*this);
  });
  scripted_odbc::ScenarioWriter master;
  // SQL Server 2008 R2: no availability groups to ask about.
  const auto row = [](const char* name, const char* state, std::optional<std::string> access,
                      std::optional<std::string> sModify, std::optional<std::string> stockTemp,
                      std::optional<std::string> sizeGroup) {
    return std::vector<std::optional<std::string>>{name,    state,        access,   "READ_WRITE",
                                                   "0",     "MULTI_USER", "3",      "10.50.6000.34",
                                                   sModify, stockTemp,    sizeGroup};
  };
  master.Rows(
      entry::kApplicationDatabasesSql,
      {"name", "state_desc", "Accessible", "Updateability", "Standby", "user_access_desc",
       "EngineEdition", "ProductVersion", "S_Modify", "StockDetailTemp", "SizeGroup"},
      {row("closed", "OFFLINE", std::nullopt, std::nullopt, std::nullopt, std::nullopt),
       row("hr", "ONLINE", "1", std::nullopt, std::nullopt, "7"),
       row("old\x1B[2J", "OFFLINE", std::nullopt, std::nullopt, std::nullopt, std::nullopt),
       row("other", "ONLINE", "0", std::nullopt, std::nullopt, std::nullopt),
       row("shop01", "ONLINE", "1", "5", "6", "7"), row("shop02", "ONLINE", "1", "5", "6", "7")});
  master.Save((directory_.Path() / "master.txt").string());
  const ProgramRun run = Many({"--all-databases", "--plan"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const std::vector<std::string> out = Lines(run.out);
  ASSERT_EQ(out.size(), 6u) << run.out;
  EXPECT_EQ(out[0],
            "shop02: problem: TableTag 10: StockDetail: 2 rows hold quantities in x_4, above the "
            "3 size slots the size groups need now; move them to lower slots or add sizes back "
            "to the size groups");
  EXPECT_TRUE(out[1].starts_with("shop02: notice: TableTag 10: the size texts of StockDetail"));
  EXPECT_TRUE(out[3].starts_with("shop01    in step ")) << out[3];
  EXPECT_TRUE(out[4].starts_with("shop02    plan refused ")) << out[4];
  EXPECT_TRUE(
      out[4].ends_with("the run cannot start; nothing was changed:   - TableTag 10: "
                       "StockDetail: 2 rows hold quantities in x_4, above the 3 size "
                       "slots the size groups need now; move them to lower slots or add "
                       "sizes back to the size groups"))
      << out[4];
  EXPECT_EQ(out[5], "2 databases: 1 in step, 1 plan refused");
  const std::vector<std::string> err = Lines(run.err);
  ASSERT_GE(err.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(err.begin(), err.begin() + 5),
            (std::vector<std::string>{"slotsync: left out closed: not online (OFFLINE)",
                                      "slotsync: left out hr: no S_Modify, StockDetailTemp",
                                      "slotsync: left out old\\x1B[2J: not online (OFFLINE)",
                                      "slotsync: left out other: the login may not open it",
                                      "slotsync: 2 databases, up to 1 at once: shop01, shop02"}));
  EXPECT_EQ(
      LogOf("master"),
      (std::vector<std::string>{
          "CONNECT", "ATTRIBUTE Driver=" + DriverPath(), "ATTRIBUTE Server=srv",
          "ATTRIBUTE Database=master", "ATTRIBUTE UID=sa", "ATTRIBUTE PWD=pw", "ATTRIBUTE " + kApp,
          "ATTRIBUTE Encrypt=yes", "ATTRIBUTE TrustServerCertificate=yes",
          "EXEC " + std::string(entry::kApplicationDatabasesSql), "DISCONNECT"}));
  EXPECT_EQ(LogOf("shop01").front(), "CONNECT");
  // The catalog read parses under the T-SQL grammar.
  const std::filesystem::path read = directory_.Path() / "catalog.sql";
  std::ofstream(read) << entry::kApplicationDatabasesSql << "\nGO\n";
  const ProgramRun parsed =
      RunProgram({SLOTSYNC_E2E_NODE, SLOTSYNC_E2E_TSQL_CHECK, "--statements", read.string()}, {});
  EXPECT_EQ(parsed.exitCode, 0) << parsed.out << parsed.err;
}

// A database's name is shown escaped in its lines, the list and the table,
// on a pipe as on a terminal: a control character in it cannot clear the
// screen or pass for a line of its own.
TEST_P(ManyDatabases, ANameWithAControlCharacterIsShownEscaped) {
  const std::string name = "shop\x1B[2J";
  Database("shop01", [&] { ScriptCounts(3, 3); });
  Database(name, [&] { ScriptCounts(3, 3); });
  const ProgramRun run = Many({"-d", "shop01," + name});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ((run.out + run.err).find('\x1B'), std::string::npos) << run.out << run.err;
  const std::vector<std::string> out = Lines(run.out);
  ASSERT_EQ(out.size(), 4u) << run.out;
  EXPECT_TRUE(out[0].starts_with("database     outcome ")) << out[0];
  EXPECT_TRUE(out[2].starts_with("shop\\x1B[2J  in step ")) << out[2];
  EXPECT_EQ(Lines(run.err).front(), "slotsync: 2 databases, up to 1 at once: shop01, shop\\x1B[2J");
  EXPECT_NE(run.err.find("\nshop\\x1B[2J: running\nshop\\x1B[2J: in step: "), std::string::npos)
      << run.err;
}

// Each run gets the login as given, its password through a pipe only:
// neither a run's arguments nor its environment hold it, whichever variable
// it came from, and Windows authentication hands on none at all.
TEST_P(ManyDatabases, LoginsAndOptionsArePassedOnWithoutThePassword) {
  const auto Online = [](std::int32_t timeout, std::int32_t retries, bool cleanUp) {
    entry::OnlineSettings settings;
    settings.enabled = true;
    settings.cutoverTimeoutSeconds = timeout;
    settings.retries = retries;
    settings.cleanUpOnly = cleanUp;
    return settings;
  };
  std::ofstream(directory_.Path() / "odbc.ini")
      << "[ShopServer]\nDriver=" << DriverPath() << "\nServer=srv\n";
  const struct {
    std::vector<std::string> login;
    std::string args;
    std::vector<std::string> attributes;
    std::string server;            // as the fleet's JSON names it
    entry::OnlineSettings online;  // what each database's run then does
  } cases[] = {
      {{"-S", "srv", "-U", "sa"},
       "--server srv --user sa --password-stdin",
       {"Server=srv", "Database={database}", "UID=sa", "PWD=pw"},
       "srv",
       {}},
      {{"-S", "srv", "-E"},
       "--server srv --trusted-connection",
       {"Server=srv", "Database={database}", "Trusted_Connection=yes"},
       "srv",
       {}},
      {{"--dsn", "ShopServer", "-U", "sa"},
       "--dsn ShopServer --user sa --password-stdin",
       {"DSN=ShopServer", "Database={database}", "UID=sa", "PWD=pw"},
       "DSN=ShopServer",
       {}},
      // An online run's own options reach each database's run.
      {{"-S", "srv", "-U", "sa", "--online", "--cutover-timeout", "3", "--retry", "2"},
       "--server srv --user sa --password-stdin --retry 2 --online --cutover-timeout 3",
       {"Server=srv", "Database={database}", "UID=sa", "PWD=pw"},
       "srv",
       Online(3, 2, false)},
      {{"-S", "srv", "-U", "sa", "--online", "--clean-up"},
       "--server srv --user sa --password-stdin --online --clean-up",
       {"Server=srv", "Database={database}", "UID=sa", "PWD=pw"},
       "srv",
       Online(2, 0, true)},
  };
  for (const auto& c : cases) {
    onlineSettings = c.online;
    for (const char* name : {"shop01", "shop02"}) Database(name, [&] { ScriptCounts(3, 3); });
    EnvironmentChanges environment = Environment();
    environment["SCRIPTED_ODBC_SCENARIO"] = (directory_.Path() / "{database}.txt").string();
    environment["SCRIPTED_ODBC_LOG"] = (directory_.Path() / "{database}.log").string();
    environment["SCRIPTED_ODBC_LOG_PROCESS"] = "1";
    environment["SLOTSYNC_PASSWORD"] = std::nullopt;
    environment["SQLCMDPASSWORD"] = "pw";
    std::vector<std::string> args = {Built::Command(), "-d", "shop01,shop02",
                                     "--lock-timeout", "0",  "--json"};
    args.insert(args.end(), c.login.begin(), c.login.end());
    for (const char* name : {"shop01", "shop02"}) {
      std::filesystem::remove(directory_.Path() / (std::string(name) + ".log"));
    }
    const ProgramRun run = RunProgram(args, environment);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("\"server\":\"" + c.server + "\""), std::string::npos) << run.out;
    for (const std::string name : {"shop01", "shop02"}) {
      std::vector<std::string> process;
      std::vector<std::string> attributes;
      for (const std::string& line : LogOf(name)) {
        if (line.starts_with("PROCESS ")) process.push_back(line);
        if (line.starts_with("ATTRIBUTE ") && !line.starts_with("ATTRIBUTE Driver=") &&
            !line.starts_with("ATTRIBUTE APP=") && !line.starts_with("ATTRIBUTE Encrypt=") &&
            !line.starts_with("ATTRIBUTE TrustServerCertificate=")) {
          attributes.push_back(line.substr(10));
        }
      }
      EXPECT_EQ(process, (std::vector<std::string>{"PROCESS ARGS --database " + name +
                                                   " --json --yes --lock-timeout 0 " + c.args}));
      std::vector<std::string> expected = c.attributes;
      expected[1] = "Database=" + name;
      EXPECT_EQ(attributes, expected) << c.args;
    }
  }
}

// Ctrl+C from the terminal reaches the command and its runs; a SIGTERM to
// the command is handed on to each run. Either way every running database
// rolls back and no other is started.
TEST_P(ManyDatabases, AnInterruptRollsBackEveryRunningDatabaseAndStartsNoOther) {
  for (const std::string signal : {"signal-group 2", "signal-parent 15"}) {
    SCOPED_TRACE(signal);
    Database("shop01", [&] {
      writer.Raw("statement " + kTabLock + "\n" + signal + "\n");
      FourTables().Apply(*this);
    });
    Database("shop02", [&] {
      writer.Raw("statement " + kTabLock + "\nwait-for-cancel\n");
      FourTables().Apply(*this);
    });
    Database("shop03", [&] { ScriptCounts(3, 3); });
    // A session of its own, as a terminal gives a command and its children.
    const ProgramRun run =
        Many({"-d", "shop01,shop02,shop03", "-j", "2", "--json"}, {"/usr/bin/setsid", "-w"});
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_EQ(Lines(run.err).back(), "3 databases: 2 interrupted, 1 not started") << run.err;
    // The JSON holds every outcome it can: each its own, in the schema.
    EXPECT_EQ(testing::RunSchemaErrors(run.out), "") << run.out;
    const nlohmann::json fleet = nlohmann::json::parse(run.out);
    EXPECT_EQ(fleet["totals"],
              nlohmann::json({{"databases", 3}, {"interrupted", 2}, {"not started", 1}}));
    // shop01 was at its first table; shop02 may not have come to one yet.
    const nlohmann::json& databases = fleet.at("databases");
    EXPECT_EQ(databases.at(0).at("outcome"), "interrupted");
    EXPECT_EQ(databases.at(1).at("outcome"), "interrupted");
    EXPECT_EQ(databases.at(0).at("tables").at(0).at("status"), "interrupted");
    EXPECT_EQ(databases.at(0).at("tables").at(3).at("status"), "not reached");
    EXPECT_EQ(databases.at(2).at("exitCode"), nullptr);
    for (const char* name : {"shop01", "shop02"}) {
      const std::vector<std::string> log = LogOf(name);
      EXPECT_EQ(Count(log, "COMMIT"), 0) << name;
      EXPECT_EQ(Count(log, "SET AUTOCOMMIT OFF"), Count(log, "ROLLBACK")) << name;
    }
    EXPECT_TRUE(LogOf("shop03").empty());
  }
}

INSTANTIATE_TEST_SUITE_P(WideDriver, ManyDatabases, ::testing::Values(DriverBuild::kWide), Name);

}  // namespace
}  // namespace slotsync::e2e
