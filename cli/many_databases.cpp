#include "many_databases.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <map>
#include <ostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "database_result.h"
#include "display_width.h"
#include "entry/database_catalog.h"
#include "entry/public_api.h"
#include "entry/version.h"
#include "plan_output.h"
#include "say.h"
#include "sql/sql_error.h"
#include "summary.h"
#include "targets.h"
#include "text/case_fold.h"
#include "text/gbk.h"
#include "ui/console_line.h"

namespace slotsync::cli {
namespace {

using Clock = std::chrono::steady_clock;

bool someDatabaseCommitted = false;

// The form of the object --json prints for several databases, apart from
// each run's own (run.schema.json describes both); raised whenever a reader
// must know of a change.
constexpr int kFleetJsonSchemaVersion = 1;

// What became of one database.
struct DatabaseRun {
  Target target;
  bool started = false;
  bool ended = false;
  int exitCode = -1;
  Clock::time_point startedAt{};
  double seconds = 0;
  nlohmann::json result;  // the child's --json object; null when it gave none
  std::string lastError;  // the child's last "slotsync: " line, for a child without a result
};

// Text from a child or the server shown as people see it, on a terminal or
// not (a pipe often ends on one): control characters escaped, so that
// nothing a child relays or the catalog names can move the cursor or pass
// for a line of its own.
std::string Escaped(const std::string& text) {
  return ShownOnOneLine(text);
}

const char* EncryptValue(sql::Encryption encryption) {
  switch (encryption) {
    case sql::Encryption::kStrict:
      return "strict";
    case sql::Encryption::kOptional:
      return "optional";
    default:
      return "mandatory";
  }
}

// A database's name as a file name: what a file system would take for a
// separator or refuse becomes "_".
std::string FileNameOf(const std::string& name) {
  std::string file;
  for (const char c : name) {
    const bool refused = static_cast<unsigned char>(c) < 0x20 ||
                         std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos;
    file += refused ? '_' : c;
  }
  if (file.empty() || file.front() == '.') file.insert(0, "_");
  return file;
}

// Today's options for one database, with its result as JSON on standard
// output and the password on standard input.
std::vector<std::string> ChildArguments(const CommandLine& line, const Target& target,
                                        const std::string& script) {
  std::vector<std::string> args = {"--database",     DatabaseListItem(target.database),
                                   "--json",         "--yes",
                                   "--lock-timeout", std::to_string(line.lockTimeout)};
  // The login as given, the password never among the arguments: it goes
  // through standard input, and Windows authentication has none. A login
  // without a password says so to each child, which would refuse an empty
  // one from its standard input.
  if (line.dataSource) {
    args.insert(args.end(), {"--dsn", *line.dataSource});
  } else {
    args.insert(args.end(), {"--server", target.server});
  }
  if (line.trustedConnection) {
    args.push_back("--trusted-connection");
  } else {
    args.insert(args.end(), {"--user", line.user,
                             line.emptyPassword ? "--empty-password" : "--password-stdin"});
  }
  if (line.retry > 0) args.insert(args.end(), {"--retry", std::to_string(line.retry)});
  if (line.encrypt) args.push_back(std::string("--encrypt=") + EncryptValue(*line.encrypt));
  if (line.trustServerCertificate) args.push_back("--trust-server-certificate");
  if (line.dryRun) args.push_back("--dry-run");
  if (line.plan) args.push_back("--plan");
  if (line.quiet) args.push_back("--quiet");
  if (line.online) args.push_back("--online");
  if (line.cleanUp) args.push_back("--clean-up");
  if (line.cutoverTimeout) {
    args.insert(args.end(), {"--cutover-timeout", std::to_string(*line.cutoverTimeout)});
  }
  if (!script.empty()) args.insert(args.end(), {"--script", script});
  if (line.logFile) args.insert(args.end(), {"--log", *line.logFile});
  if (line.language) args.insert(args.end(), {"--lang", *line.language});
  return args;
}

// The outcome's English name, as the JSON has it and a program reads it;
// ShownOutcome translates it for a person.
std::string OutcomeOf(const DatabaseRun& run) {
  if (!run.started) return "not started";  // not a message
  // The result's own name where it has one; these exit codes say more.
  if (run.exitCode == kExitInterrupted) return "interrupted";
  if (run.exitCode == kExitLockedOut) return "locked out";          // not a message
  if (run.exitCode == kExitCommitUnknown) return "commit unknown";  // not a message
  if (run.result.is_object() && run.result.contains("outcome")) {
    return run.result["outcome"].get<std::string>();
  }
  return "failed";
}

// The exit code a database counts with: a child that ended without one of
// ours (killed, crashed) may have ended anywhere, even after its commit.
int CountedExitCode(const DatabaseRun& run) {
  if (!run.started) return kExitOk;
  for (const int known : {0, 1, 2, 3, 4, 5, 64, 74, 130}) {
    if (run.exitCode == known) return known;
  }
  return kExitCommitUnknown;
}

class ManyDatabases : public ChildObserver {
 public:
  ManyDatabases(const CommandLine& line, const Terminal& terminal, std::vector<Target> targets)
      : line_(line), terminal_(terminal), people_(line.json ? *terminal.err : *terminal.out) {
    for (Target& target : targets) {
      DatabaseRun run;
      run.target = std::move(target);
      runs_.push_back(std::move(run));
    }
  }

  int Run(const platform::SecretString& password) {
    std::vector<ChildJob> jobs;
    const std::string directory = ScriptDirectory();
    for (const DatabaseRun& run : runs_) {
      const std::string script =
          directory.empty() ? std::string()
                            : (std::filesystem::path(directory) / ScriptName(run.target)).string();
      jobs.push_back({ChildArguments(line_, run.target, script), password});
    }
    RunChildren(jobs, line_.jobs, *this);
    PrintLoginStops();
    if (line_.plan) PrintProblems();
    PrintTable();
    const int exitCode = ExitCode();
    if (line_.json)
      *terminal_.out << Json(exitCode).dump(-1, ' ', false,
                                            nlohmann::json::error_handler_t::replace)
                     << '\n';
    return exitCode;
  }

  bool MayStart(std::size_t job) override {
    if (interrupted_) return false;
    // One refused login is enough: the same password again on the same
    // server could lock the login out for every shop.
    if (LoginFailedOn(runs_[job].target.server) != nullptr) return false;
    if (!line_.stopOnFailure) return true;
    return std::none_of(runs_.begin(), runs_.end(), [](const DatabaseRun& run) {
      return run.ended && run.exitCode != kExitOk;
    });
  }

  void Started(std::size_t job) override {
    runs_[job].started = true;
    runs_[job].startedAt = Clock::now();
    if (!line_.quiet) Relay(job, line_.plan ? Say("planning") : Say("running"));
  }

  void ErrorLine(std::size_t job, const std::string& line) override {
    if (line.starts_with("slotsync: ")) runs_[job].lastError = line.substr(10);
    Relay(job, line);
  }

  void Ended(std::size_t job, int exitCode, const std::string& out) override {
    DatabaseRun& run = runs_[job];
    run.ended = true;
    run.exitCode = exitCode;
    run.seconds = std::chrono::duration<double>(Clock::now() - run.startedAt).count();
    run.result = nlohmann::json::parse(out, nullptr, false);
    if (run.result.is_discarded()) run.result = nullptr;
    if (OutcomeOf(run) == "committed") someDatabaseCommitted = true;
    if (CountedExitCode(run) != exitCode) {
      Relay(job, "slotsync: " + SayFormat("ended with exit code %d without its result; what it "
                                          "did is not known: look at S_Modify",
                                          exitCode));
    }
    if (run.result.is_object()) {
      for (const std::string& said : WhatItLost(run.result, line_.quiet)) Relay(job, said);
    }
  }

  void Interrupted() override {
    if (interrupted_) return;
    interrupted_ = true;
    const ui::ConsoleLine console;
    *terminal_.err << "slotsync: "
                   << Say("interrupted; the running databases roll back, no other is started")
                   << std::endl;
  }

 private:
  const DatabaseRun* LoginFailedOn(const std::string& server) const {
    for (const DatabaseRun& run : runs_) {
      if (run.ended && run.result.is_object() && run.result.value("loginFailed", false) &&
          text::EqualsIgnoringAsciiCase(run.target.server, server)) {
        return &run;
      }
    }
    return nullptr;
  }

  // Says where a refused login stopped the databases after it.
  void PrintLoginStops() const {
    for (const DatabaseRun& run : runs_) {
      if (run.started || LoginFailedOn(run.target.server) == nullptr) continue;
      const DatabaseRun& failed = *LoginFailedOn(run.target.server);
      *terminal_.err << "slotsync: "
                     << SayFormat(
                            "the login failed on %s: no other database on %s was tried, so "
                            "a lockout policy is not triggered",
                            Escaped(failed.target.database), Escaped(failed.target.server))
                     << '\n';
      return;
    }
  }

  // A line about one database, in the terminal's encoding.
  void Relay(std::size_t job, const std::string& text) {
    const ui::ConsoleLine console;
    *terminal_.err << Escaped(runs_[job].target.database) << ": " << Escaped(text) << std::endl;
  }

  std::string ScriptDirectory() const {
    if (!line_.script) return {};
    std::filesystem::create_directories(*line_.script);
    return *line_.script;
  }

  // Within one server a database's name is unique; across servers the
  // server's name comes first.
  std::string ScriptName(const Target& target) const {
    const bool oneServer = std::all_of(runs_.begin(), runs_.end(), [&](const DatabaseRun& run) {
      return run.target.server == target.server;
    });
    return FileNameOf(oneServer ? target.database : target.server + "_" + target.database) + ".sql";
  }

  void PrintProblems() const {
    for (const DatabaseRun& run : runs_) {
      if (!run.result.is_object()) continue;
      // Every problem stands at the top, with its table (null: the database).
      for (const nlohmann::json& finding : run.result.value("problems", nlohmann::json::array())) {
        if (finding.value("severity", "") == "note") continue;
        const nlohmann::json tag = finding.value("tableTag", nlohmann::json());
        const std::string severity = ShownSeverity(finding.value("severity", ""));
        const std::string message = Escaped(ForTerminal(finding.value("message", "")));
        people_ << Escaped(run.target.database) << ": "
                << (tag.is_number()
                        // TRANSLATORS: a finding's severity, its table and the finding
                        // ("problem: TableTag 10: ...").
                        ? SayFormat("%s: TableTag %d: %s", severity, tag.get<int>(), message)
                        // TRANSLATORS: a finding's severity and the finding.
                        : SayFormat("%s: %s", severity, message))
                << '\n';
      }
    }
  }

  // UTF-8, as the child's JSON has it; its last line on standard error is in
  // the terminal's encoding.
  static std::string Message(const DatabaseRun& run) {
    std::string message = text::GbkToUtf8(text::TerminalToGbk(run.lastError));
    if (run.result.is_object() && run.result.contains("message")) {
      message = run.result["message"].get<std::string>();
    }
    // The first line, and the one it introduces where it ends with ":".
    std::size_t end = message.find('\n');
    if (end != std::string::npos && end > 0 && message[end - 1] == ':') {
      end = message.find('\n', end + 1);
    }
    std::string shown = message.substr(0, end);
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    return shown;
  }

  // The tables rebuilt and the rows copied where they stand (or would):
  // after a rollback nothing does.
  static std::pair<std::string, std::string> Work(const DatabaseRun& run) {
    const std::string outcome = OutcomeOf(run);
    if (outcome != "committed" && outcome != "dry run" && outcome != "planned" &&  // not a message
        outcome != "in step" && outcome != "out of step, nothing flagged") {       // not a message
      return {"-", "-"};
    }
    // A run copies what a plan only counts.
    const char* counted = outcome == "planned" ? "rows" : "rowsCopied";
    long long rows = 0;
    for (const nlohmann::json& table : run.result.value("tables", nlohmann::json::array())) {
      const nlohmann::json value = table.value(counted, nlohmann::json());
      if (table.value("kind", "") == "detail" && value.is_number()) rows += value.get<long long>();
    }
    return {std::to_string(run.result.value("rebuiltTables", 0)), std::to_string(rows)};
  }

  // Aligned by the columns each text takes, so that Chinese headings,
  // outcomes and names line up as English ones do.
  void PrintTable() const {
    const std::string database = Say("database");
    std::size_t width = ShownWidth(database);
    for (const DatabaseRun& run : runs_) {
      width = std::max(width, ShownWidth(Escaped(run.target.database)));
    }
    people_ << Left(database, width) << "  " << Left(Say("outcome"), 14)
            << Right(Say("tables rebuilt"), 15) << Right(Say("rows copied"), 13)
            << Right(Say("lost"), 6) << Right(Say("stays flagged"), 15) << Right(Say("seconds"), 9)
            << "  " << Say("message") << '\n';
    for (const DatabaseRun& run : runs_) {
      const auto [tables, rows] = Work(run);
      // Losses and tables left flagged only where the work stands (or would).
      const bool stands = tables != "-";
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.1f", run.seconds);
      people_ << Left(Escaped(run.target.database), width) << "  "
              << Left(ShownOutcome(OutcomeOf(run)), 14) << std::right << std::setw(15) << tables
              << std::setw(13) << rows << std::setw(6)
              << (stands ? std::to_string(LostOf(run.result)) : "-") << std::setw(15)
              << (stands ? std::to_string(StaysFlaggedOf(run.result)) : "-") << std::setw(9)
              << (run.started ? seconds : "-");
      const std::string message = Message(run);
      if (!message.empty()) people_ << "  " << Escaped(ForTerminal(message));
      people_ << '\n';
    }
    people_ << Totals() << '\n';
  }

  std::vector<std::pair<std::string, int>> Counts() const {
    std::vector<std::pair<std::string, int>> counts;
    for (const DatabaseRun& run : runs_) {
      const std::string outcome = OutcomeOf(run);
      auto it = std::find_if(counts.begin(), counts.end(),
                             [&](const auto& count) { return count.first == outcome; });
      if (it == counts.end()) {
        counts.emplace_back(outcome, 1);
      } else {
        ++it->second;
      }
    }
    return counts;
  }

  std::string Totals() const {
    std::string counts;
    for (const auto& [outcome, count] : Counts()) {
      counts += counts.empty()
                    // TRANSLATORS: how many databases ended so ("1 committed").
                    ? SayFormat("%d %s", count, ShownOutcome(outcome))
                    // TRANSLATORS: the same after another count, with what separates them.
                    : SayFormat(", %d %s", count, ShownOutcome(outcome));
    }
    return SayFormat("%d databases: %s", runs_.size(), counts);
  }

  int ExitCode() const {
    int exitCode = kExitOk;
    for (const DatabaseRun& run : runs_) {
      exitCode = MoreSerious(exitCode, CountedExitCode(run));
      // A database left unstarted by Ctrl+C was not worked on.
      if (!run.started && interrupted_) exitCode = MoreSerious(exitCode, kExitInterrupted);
    }
    return exitCode;
  }

  nlohmann::json Json(int exitCode) const {
    nlohmann::json databases = nlohmann::json::array();
    for (const DatabaseRun& run : runs_) {
      nlohmann::json entry = run.result.is_object() ? run.result : nlohmann::json::object();
      entry["server"] = text::GbkToUtf8(text::TerminalToGbk(run.target.server));
      entry["database"] = text::GbkToUtf8(text::TerminalToGbk(run.target.database));
      entry["outcome"] = OutcomeOf(run);
      entry["exitCode"] = run.started ? nlohmann::json(CountedExitCode(run)) : nlohmann::json();
      entry["seconds"] = run.seconds;
      if (!entry.contains("message")) entry["message"] = Message(run);
      entry["lost"] = LostOf(run.result);
      entry["staysFlagged"] = StaysFlaggedOf(run.result);
      databases.push_back(std::move(entry));
    }
    nlohmann::json totals = nlohmann::json::object();
    totals["databases"] = runs_.size();
    for (const auto& [outcome, count] : Counts()) totals[outcome] = count;
    return {{"schemaVersion", kFleetJsonSchemaVersion},
            {"version", kVersion},
            {"databases", databases},
            {"totals", totals},
            {"exitCode", exitCode}};
  }

  const CommandLine& line_;
  const Terminal& terminal_;
  std::ostream& people_;  // the table and the totals: standard error when JSON has the output
  std::vector<DatabaseRun> runs_;
  bool interrupted_ = false;
};

// The connection security a single run would get from the same options.
entry::ClientFactory CatalogClient(const CommandLine& line, const Terminal& terminal) {
  if (terminal.makeClient != nullptr) return *terminal.makeClient;
  entry::ConnectionSecurity security;
  if (line.encrypt) {
    security.encryption = *line.encrypt;
    security.trustServerCertificate =
        line.trustServerCertificate && *line.encrypt != sql::Encryption::kStrict;
  }
  security.trustedConnection = line.trustedConnection;
  security.dataSource = text::TerminalToGbk(line.dataSource.value_or(""));
  return entry::OdbcClientFactory(security);
}

// Every database of this application on the server that the login may open;
// those left out are named with the reason.
std::vector<Target> DatabasesOnServer(const CommandLine& line, const Terminal& terminal,
                                      const platform::SecretString& password) {
  const entry::ConnectionArguments arguments{
      text::TerminalToGbk(line.server),
      {},
      text::TerminalToGbk(line.user),
      platform::SecretString(text::TerminalToGbk(password.View()))};
  std::vector<Target> targets;
  const entry::DatabasesOnServer server =
      entry::ReadDatabasesOnServer(arguments, CatalogClient(line, terminal));
  if (server.azureSqlDatabase) {
    throw UsageError{
        Say("--all-databases cannot look into the databases of Azure SQL Database, where a "
            "connection reaches one database only: name each database (-d a,b or --databases "
            "FILE)")};
  }
  for (const entry::DatabaseOnServer& database : server.databases) {
    const std::string name = text::GbkToTerminal(database.name);
    if (database.Chosen()) {
      targets.push_back({ServerNamed(line), name});
    } else if (!line.quiet) {
      *terminal.err << "slotsync: "
                    << SayFormat("left out %s: %s", Escaped(name),
                                 text::GbkToTerminal(database.WhyLeftOut()))
                    << '\n';
    }
  }
  return targets;
}

std::string Listed(const std::vector<Target>& targets) {
  std::string list;
  for (const Target& target : targets) {
    list += (list.empty() ? "" : ", ") + target.database;
  }
  return list;
}

}  // namespace

int MoreSerious(int a, int b) {
  for (const int code : kExitSeriousness) {
    if (a == code || b == code) return code;
  }
  return a != kExitOk ? a : b;
}

bool SomeDatabaseCommitted() {
  return someDatabaseCommitted;
}

int RunManyDatabases(const CommandLine& line, const Terminal& terminal,
                     const platform::SecretString& password) {
  someDatabaseCommitted = false;
  std::vector<Target> targets;
  try {
    targets = line.allDatabases ? DatabasesOnServer(line, terminal, password) : NamedTargets(line);
  } catch (const UsageError& e) {
    if (line.json) *terminal.out << JsonNotBegun(true, kExitUsage, e.message) << '\n';
    *terminal.err << "slotsync: " << e.message << '\n'
                  << Say("Run 'slotsync --help' for every option and examples.") << '\n';
    return kExitUsage;
  } catch (const std::exception& e) {
    const std::string unread =
        SayFormat("the databases on %s could not be read: %s", Escaped(ServerNamed(line)),
                  Escaped(text::GbkToTerminal(e.what())));
    if (line.json) *terminal.out << JsonNotBegun(false, kExitCouldNotRun, unread) << '\n';
    *terminal.err << Say("could not run; nothing was changed") << "\nslotsync: " << unread
                  << "\nslotsync: ";
    const auto* failure = dynamic_cast<const sql::SqlError*>(&e);
    if (failure != nullptr && (failure->SqlState() == "28000" || failure->HasNativeError(18456))) {
      *terminal.err << SayFormat(
                           "the login failed on %s: no database was tried, so a lockout "
                           "policy is not triggered",
                           Escaped(ServerNamed(line)))
                    << "\nslotsync: ";
    }
    *terminal.err << Say("nothing needs undoing; correct what is named above, then run slotsync "
                         "again")
                  << '\n';
    return kExitCouldNotRun;
  }
  if (targets.empty()) {
    const std::string none =
        SayFormat("no database of this application on %s that the login may open; nothing was done",
                  Escaped(ServerNamed(line)));
    if (line.json) *terminal.out << JsonNotBegun(false, kExitCouldNotRun, none) << '\n';
    *terminal.err << "slotsync: " << none << '\n';
    return kExitCouldNotRun;
  }
  if (!line.quiet) {
    *terminal.err << "slotsync: "
                  << SayFormat(
                         "%d databases, up to %d at once: %s", targets.size(),
                         std::min<std::size_t>(static_cast<std::size_t>(line.jobs), targets.size()),
                         Escaped(Listed(targets)))
                  << '\n';
  }
  ManyDatabases many(line, terminal, std::move(targets));
  try {
    return many.Run(password);
  } catch (const std::filesystem::filesystem_error& e) {
    // Only the script directory is made before the first database starts.
    *terminal.err << "slotsync: "
                  << SayFormat("the script directory %s cannot be made: %s; nothing was done",
                               Escaped(*line.script), e.code().message())
                  << '\n';
    return kExitOutputFailed;
  }
}

}  // namespace slotsync::cli
