#pragma once

// A whole database scripted the way the run tests script it (run_fixture.h,
// scenarios.h), recorded into a scenario file by one run over the in-memory
// connection, then replayed through the real ODBC layer by the slotsync
// command or the host program, against the scripted driver.

#include <gtest/gtest.h>

#include <fstream>

#include "e2e_support.h"
#include "entry/version.h"
#include "four_tables.h"
#include "run_fixture.h"
#include "text/gbk.h"

namespace slotsync::e2e {

// Which build of the scripted driver a test runs against.
enum class DriverBuild { kWide, kNarrowOnly };

inline std::string Name(const ::testing::TestParamInfo<DriverBuild>& info) {
  return info.param == DriverBuild::kWide ? "WideDriver" : "NarrowDriver";
}

class EndToEnd : public testing::RunFixture, public ::testing::WithParamInterface<DriverBuild> {
 protected:
  void SetUp() override {
    // An odbcinst.ini of the test's own, so that nothing installed on the
    // machine takes part.
    std::ofstream(directory_.Path() / "odbcinst.ini") << "";
  }

  // The scripted driver under the file name of Microsoft's ODBC Driver 18,
  // whose answers its scenarios replay: a connection judges a driver by its
  // library, and gives a driver it does not know no encryption keyword.
  std::string DriverPath() const {
    return LikeMicrosoftDriver(GetParam() == DriverBuild::kWide ? Built::Driver()
                                                                : Built::NarrowDriver());
  }

  std::string LikeMicrosoftDriver(const std::string& library) const {
    const std::filesystem::path link =
        directory_.Path() /
        ("libmsodbcsql-18.0." + std::filesystem::path(library).filename().string());
    if (!std::filesystem::is_symlink(link)) std::filesystem::create_symlink(library, link);
    return link.string();
  }

  // Runs the scripted database in memory with the real rebuilders, keeps its
  // log and report, and saves every statement with its answer as the
  // scenario the driver will replay.
  void Record(bool dryRun = false, const std::string& database = "Shop") {
    entry::RunDependencies deps = testing::WithRealRebuilders(Dependencies());
    deps.makeClient = [this](const entry::SizeConnectionSettings&) {
      return Recording(std::make_unique<testing::ScriptedConnection>(script), writer);
    };
    deps.dryRun = dryRun;
    deps.lockTimeoutSeconds = lockTimeoutSeconds;
    deps.online = onlineSettings;
    deps.online.enabled = deps.online.enabled || online;
    recorded = entry::RunRestructure({"srv", database, "sa", "pw"}, deps);
    recordedLog = script.Log();
    Save();
  }

  void Save() const { writer.Save(ScenarioPath().string()); }

  std::filesystem::path ScenarioPath() const { return directory_.Path() / "scenario.txt"; }
  std::filesystem::path LogPath() const { return directory_.Path() / "driver.log"; }

  EnvironmentChanges Environment() const {
    return {
        {"SLOTSYNC_ODBC_DRIVER", DriverPath()},
        {"SCRIPTED_ODBC_SCENARIO", ScenarioPath().string()},
        {"SCRIPTED_ODBC_LOG", LogPath().string()},
        {"SCRIPTED_ODBC_TRACE", std::nullopt},
        {"SLOTSYNC_PASSWORD", "pw"},
        // The narrow driver gets its texts in the locale's code set.
        {"LC_ALL", "C.UTF-8"},
        // The messages the tests compare, whatever the machine's locale.
        {"SLOTSYNC_LANG", "en"},
        {"ODBCSYSINI", directory_.Path().string()},
        {"ODBCINSTINI", std::nullopt},
        {"ODBCINI", std::nullopt},
    };
  }

  // The command as the recording ran: without a lock timeout unless the
  // test gives one. The table lines, the summary table and the notes after
  // it are left out of
  // out and err (they have tests of their own) and kept in `tables`.
  ProgramRun Command(const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {Built::Command(), "--server", "srv", "--database",
                                     "Shop",           "--user",   "sa"};
    if (std::find(options.begin(), options.end(), "--lock-timeout") == options.end()) {
      args.insert(args.end(), {"--lock-timeout", "0"});
    }
    args.insert(args.end(), options.begin(), options.end());
    ProgramRun run = RunProgram(args, Environment());
    tables = TakeTableLines(run);
    return run;
  }

  // Moves the command's table lines and summary table out of its output.
  static std::string TakeTableLines(ProgramRun& run) {
    std::string tables;
    for (std::string* stream : {&run.out, &run.err}) {
      std::string kept;
      bool inSummary = false;
      for (const std::string& line : Lines(*stream)) {
        inSummary = inSummary || line.starts_with("TableTag table ");
        // The notes of a run follow its summary.
        const bool tableLine =
            inSummary || line.starts_with("slotsync: note: ") ||
            (line.starts_with("[") && line.find("] TableTag ") != std::string::npos);
        (tableLine ? tables : kept) += line + "\n";
      }
      *stream = kept;
    }
    return tables;
  }
  std::string tables;  // the last Command()'s table lines and summary

  ProgramRun Host(bool dryRun = false, bool plan = false) const {
    std::vector<std::string> args = {Built::Host(), Built::Library(), "srv", "Shop", "sa", "pw"};
    if (dryRun) args.push_back("--dry-run");
    if (plan) args.push_back("--plan");
    return RunProgram(args, Environment());
  }

  std::vector<std::string> DriverLog() const { return ReadDriverLog(LogPath()); }

  // The log without the connection string's attributes.
  std::vector<std::string> DriverEvents() const {
    std::vector<std::string> events;
    for (auto& line : DriverLog()) {
      if (!line.starts_with("ATTRIBUTE ")) events.push_back(line);
    }
    return events;
  }

  std::vector<std::string> Attributes() const {
    std::vector<std::string> attributes;
    for (auto& line : DriverLog()) {
      if (line.starts_with("ATTRIBUTE ")) attributes.push_back(line.substr(10));
    }
    return attributes;
  }

  // The statements the command printed with --trace or --dry-run.
  static std::vector<std::string> Traced(const ProgramRun& run) {
    std::vector<std::string> traced;
    for (const auto& line : Lines(run.out)) {
      if (line.starts_with("[")) traced.push_back(line);
    }
    return traced;
  }

  // The lines the command prints with --trace for these statements: each
  // marked ok unless it is one of `ignored`, whose failure the rebuild let
  // pass.
  static std::vector<std::string> TraceOf(const std::vector<std::string>& statements,
                                          const std::vector<std::string>& ignored = {}) {
    std::vector<std::string> lines;
    for (const auto& statement : statements) {
      const bool failed = std::find(ignored.begin(), ignored.end(), statement) != ignored.end();
      lines.push_back((failed ? "[failed, ignored] " : "[ok] ") + statement);
    }
    return lines;
  }

  // The bound the program under test puts on lock waits: the command's
  // --lock-timeout 0 none, a host's zeroed options the library's default.
  std::int32_t lockTimeoutSeconds = 0;
  bool online = false;                   // recorded as an online run (--online)
  entry::OnlineSettings onlineSettings;  // and with these options
  ScratchDirectory directory_;
  scripted_odbc::ScenarioWriter writer;
  entry::RunReport recorded;
  std::vector<std::string> recordedLog;
};

// The rebuild path gives the database's application lock back before it disconnects.
inline const std::string kReleaseShopLock = "EXEC " + testing::ReleaseLockSql();

// The attribute every connection introduces itself with.
inline const std::string kApp = std::string("APP=slotsync ") + kVersion;

// The command's closing lines: what to do next after each failure.
inline const std::string kRolledBackNext =
    "slotsync: nothing needs undoing; remove the cause named above, then run slotsync again\n";
inline const std::string kCouldNotRunNext =
    "slotsync: nothing needs undoing; correct what is named above (the server, database, login "
    "or encryption, or the dictionary), then run slotsync again\n";

inline std::string Utf8(const std::string& gbk) {
  return text::GbkToUtf8(gbk);
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

}  // namespace slotsync::e2e
