#include "plan_output.h"

#include <nlohmann/json.hpp>

#include <ostream>

#include "entry/public_api.h"
#include "entry/run_json.h"
#include "entry/run_locks.h"
#include "entry/session_settings.h"
#include "entry/version.h"
#include "rebuild/script_guards.h"
#include "say.h"
#include "sql/quoting.h"
#include "summary.h"
#include "table_display.h"
#include "table_kind.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

// Translated where shown.
const char* SeverityName(int severity) {
  switch (severity) {
    case SLOTSYNC_PROBLEM:
      return N_("problem");
    case SLOTSYNC_NOTICE:
      return N_("notice");
    default:
      return N_("note");
  }
}

// The names the JSON gives a statement's outcome, which a program reads.
const char* StatementOutcomeName(int outcome) {
  switch (outcome) {
    case SLOTSYNC_STATEMENT_OK:
      return "ok";
    case SLOTSYNC_STATEMENT_FAILED_IGNORED:
      return "failed, ignored";  // not a message
    case SLOTSYNC_STATEMENT_FAILED:
      return "failed";
    case SLOTSYNC_STATEMENT_PLANNED:
      return "planned";
    case SLOTSYNC_STATEMENT_PLANNED_IGNORED:
      return "planned, failure ignored";  // not a message
    case SLOTSYNC_STATEMENT_PLANNED_BEFORE:
      return "planned, before the transaction";  // not a message
    case SLOTSYNC_STATEMENT_PLANNED_AFTER:
      return "planned, after the commit";  // not a message
    default:
      return "planned check";  // not a message
  }
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// The table, its name and its kind: "TableTag 10 StockDetail (detail)".
std::string TableHeading(const RecordedTable& table, bool isTerminal) {
  const std::string kind = Say(KindName(table.kind));
  if (table.tableName.empty()) return SayFormat("TableTag %d (%s)", table.tableTag, kind);
  return SayFormat("TableTag %d %s (%s)", table.tableTag, Shown(table.tableName, isTerminal), kind);
}

// What the run would do to the table, after its heading.
std::string PlannedWork(const RecordedTable& table, const std::string& heading) {
  if (table.kind == SLOTSYNC_TABLE_DETAIL) {
    std::string work =
        table.rows < 0 ? SayFormat("%s: copies an unknown number of rows; slot columns %d -> %d",
                                   heading, table.slotsNow, table.slotsAfter)
                       : SayPlural("%s: copies %s row; slot columns %d -> %d",
                                   "%s: copies %s rows; slot columns %d -> %d", table.rows, heading,
                                   WithThousands(table.rows), table.slotsNow, table.slotsAfter);
    if (table.sizeTextsUpdated) work = SayFormat("%s; size texts extended", work);
    if (table.triggerCalled) work = SayFormat("%s; CreateInvoiceDetailTrigger called", work);
    return work;
  }
  if (table.kind == SLOTSYNC_TABLE_PER_TERMINAL) {
    return table.slotsAfter > 0
               ? SayFormat("%s: recreated empty with %d slot columns", heading, table.slotsAfter)
               : SayFormat("%s: recreated empty", heading);
  }
  return heading;
}

void PrintTable(const RecordedTable& table, std::ostream& out, bool isTerminal) {
  const std::string heading = TableHeading(table, isTerminal);
  if (table.status == SLOTSYNC_TABLE_REFUSED) {
    out << SayFormat("%s: refused (see problems)", heading) << '\n';
    return;
  }
  if (table.status == SLOTSYNC_TABLE_UNCHANGED) {
    out << SayFormat("%s: skipped: %s", heading, Shown(table.skipReason, isTerminal)) << '\n';
    return;
  }
  out << PlannedWork(table, heading) << '\n';
  if (!table.columnsAdded.empty()) {
    out << "  " << SayFormat("columns added: %s", Shown(Joined(table.columnsAdded), isTerminal))
        << '\n';
  }
  if (!table.columnsDropped.empty()) {
    out << "  " << SayFormat("columns dropped: %s", Shown(Joined(table.columnsDropped), isTerminal))
        << '\n';
  }
  if (table.kind != SLOTSYNC_TABLE_NOTHING_TO_DO) {
    // Recreated empty by design: whoever reads the plan must see what goes,
    // table by table.
    out << "  "
        << (table.emptied.empty()
                ? Say("recreated empty by design: none")
                : SayFormat("recreated empty by design: %s", EmptiedList(table.emptied)))
        << '\n';
  }
  if (const std::string carried = rebuild::CarriedText(table.carried); !carried.empty()) {
    out << "  " << text::GbkToTerminal(carried) << '\n';
  }
  for (const std::string& lost : table.dependentsLost) {
    out << "  " << SayFormat("lost by design: %s", Shown(lost, isTerminal)) << '\n';
  }
}

nlohmann::json Utf8(const std::string& gbk) {
  return text::GbkToUtf8(gbk);
}

nlohmann::json StatementsJson(const std::vector<RecordedStatement>& statements) {
  nlohmann::json list = nlohmann::json::array();
  for (const RecordedStatement& s : statements) {
    list.push_back({{"text", Utf8(s.text)}, {"outcome", StatementOutcomeName(s.outcome)}});
  }
  return list;
}

}  // namespace

void PrintPlan(const RunRecord& record, const SlotsyncResult& result, std::ostream& out,
               bool isTerminal) {
  // The outcome first; the statements only with --trace, before it.
  out << PlanLine(result) << '\n';
  for (const RecordedTable& table : record.Tables()) PrintTable(table, out, isTerminal);
  for (const int severity : {SLOTSYNC_PROBLEM, SLOTSYNC_NOTICE, SLOTSYNC_NOTE}) {
    for (const RecordedFinding& finding : record.Findings()) {
      if (finding.severity != severity) continue;
      const std::string shown = Shown(finding.message, isTerminal);
      out << (finding.tableTag != 0
                  // TRANSLATORS: a finding's severity, its table and the finding
                  // ("problem: TableTag 10: ...").
                  ? SayFormat("%s: TableTag %d: %s", Say(SeverityName(severity)), finding.tableTag,
                              shown)
                  // TRANSLATORS: a finding's severity and the finding.
                  : SayFormat("%s: %s", Say(SeverityName(severity)), shown))
          << '\n';
    }
  }
}

std::string JsonResult(const RunRecord& record) {
  // The run's own record, as the audit log has it, with the statements the
  // command saw added: those of each table, and those outside the tables.
  nlohmann::json json =
      nlohmann::json::parse(entry::LastRunJson(), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) json = nlohmann::json::object();
  nlohmann::json& tables = json["tables"];
  if (!tables.is_array()) tables = nlohmann::json::array();
  const auto& recorded = record.Tables();
  for (std::size_t i = 0; i < tables.size(); ++i) {
    const bool same = i < recorded.size() && tables[i].value("tableTag", 0) == recorded[i].tableTag;
    tables[i]["statements"] =
        same ? StatementsJson(recorded[i].statements) : nlohmann::json::array();
  }
  json["statements"] = StatementsJson(record.Outside());
  // Bytes that are no UTF-8 cannot reach here (every text went through the
  // converter), but a JSON writer must not throw on them either.
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonNotBegun(bool badArguments, int exitCode, const std::string& message) {
  entry::RunReport report;
  report.outcome =
      badArguments ? entry::Outcome::kBadArguments : entry::Outcome::kFailedBeforeTransaction;
  report.message = text::TerminalToGbk(message);
  nlohmann::json json = entry::RunJson(report);
  // The command's own exit code, which the library's outcome cannot tell.
  json["exitCode"] = exitCode;
  json["statements"] = nlohmann::json::array();
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

// The lines of sqlcmd that come before any T-SQL: the variable the next batch
// tests to know it runs in SQLCMD mode, the plan's time for the checks'
// messages, and a stop at the first error.
std::string SqlcmdLines(const std::string& writtenAt) {
  return ":setvar SqlcmdMode on\n:setvar " + std::string(rebuild::kPlanWrittenVariable) + " \"" +
         writtenAt + "\"\n:on error exit\nGO\n";  // not a message
}

// Outside SQLCMD mode the lines above fail as a batch of their own and the
// variable stays as written, so this check stops everything after it. The
// script's texts are in English, like its statements, whoever planned it:
// the server raises them in the session that runs it.
std::string SqlcmdModeCheck() {
  const std::string stop =
      "this script runs only in SQLCMD mode: run it with sqlcmd, or turn "  // not a message
      "on SQLCMD mode (Query menu) in Management Studio or Azure Data "     // not a message
      "Studio; nothing was changed";                                        // not a message
  return rebuild::StopIf("N'$(SqlcmdMode)'<>N'on'", stop) + "\nGO\n";
}

// A query window may hold a transaction of its own: the script's would nest
// in it, its COMMIT would commit nothing, and its tables would stay locked
// until whoever opened it ends it.
std::string SessionCheck() {
  const std::string stop =
      "this session already had a transaction open: it was rolled back "  // not a message
      "and nothing of this script ran; run the script in a session of "   // not a message
      "its own (sqlcmd, or a new query window)";                          // not a message
  return rebuild::StopIf("@@TRANCOUNT>0", stop) + "\nGO\n";
}

// The database's name may come from the server's own list (--all-databases),
// so it is written as sqlcmd can read nothing in.
std::string DatabaseCheck(const std::string& typed) {
  const std::string database = text::TerminalToGbk(typed);
  const std::string shown = sql::SqlcmdInertText(database);
  const std::string stop = "this script was planned for the database " +    // not a message
                           shown + "; connect to it (sqlcmd -d " + shown +  // not a message
                           "); nothing was changed";                        // not a message
  return text::GbkToUtf8(rebuild::StopIf("DB_NAME()<>" + sql::SqlcmdLiteral(database), stop)) +
         "\nGO\n";
}

// The bound on every lock wait, then the run's own application lock, owned
// by the transaction: whatever ends the transaction (the commit, a check's
// rollback, XACT_ABORT, a lost connection) releases it, so a stopped script
// never keeps it in an open query window.
std::string TransactionAndLocks(const std::string& database, int lockTimeout) {
  std::string text = "SET XACT_ABORT ON\n" + std::string(entry::kWriteSettingsSql) + "\n";
  // As a run does: bounded lock waits, and a shop's sessions win a deadlock.
  if (lockTimeout > 0) text += "SET LOCK_TIMEOUT " + std::to_string(lockTimeout * 1000) + "\n";
  text += "SET DEADLOCK_PRIORITY LOW\n";
  text += "BEGIN TRANSACTION\nGO\n";
  const std::string resource = entry::DatabaseLockResource();
  const int wait = entry::DatabaseLockSeconds(lockTimeout);
  const std::string busy =
      "another run or script holds the database " + database +          // not a message
      " (application lock " + resource + ") and did not end within " +  // not a message
      std::to_string(wait) +
      " s; nothing was changed; try again when it has ended";  // not a message
  text +=
      "Declare @Result int\nExec @Result=sp_getapplock @Resource=" + sql::UnicodeLiteral(resource) +
      ",@LockMode='Exclusive',@LockOwner='Transaction',@LockTimeout=" +
      std::to_string(wait * 1000) + "\n" + rebuild::StopIf("@Result<0", busy) + "\nGO\n";
  return text;
}

// A text typed on the command line, as a script's comment holds it.
std::string InComment(const std::string& typed) {
  return text::GbkToUtf8(sql::SqlcmdInertText(text::TerminalToGbk(typed)));
}

std::string Batch(const std::string& gbk) {
  return text::GbkToUtf8(gbk) + "\nGO\n";
}

// A write as the script holds it: as planned, or run through a variable when
// a text of the catalog in it could mean something to sqlcmd.
std::string WriteBatch(const std::string& statement) {
  return Batch(sql::ForSqlcmd(statement));
}

// Checks and drops hold only texts of our own and of the dictionary, which
// its guard keeps inert; they stop the script by what they are (a check's
// NOEXEC would not outlive a variable's Exec), so they must stand as they are.
// The script's own variable, the plan's time, is the one reference allowed.
std::string InertBatch(const std::string& statement) {
  std::string ours = statement;
  const std::string variable = "$(" + std::string(rebuild::kPlanWrittenVariable) + ")";
  for (std::size_t at; (at = ours.find(variable)) != std::string::npos;)
    ours.erase(at, variable.size());
  if (!sql::IsSqlcmdInert(ours)) {
    throw std::logic_error("a script line that sqlcmd could read something in: " +  // not a message
                           statement);
  }
  return Batch(statement);
}

std::vector<std::string> StatementsOf(const RunRecord& record, int outcome) {
  std::vector<std::string> statements;
  for (const RecordedTable& table : record.Tables()) {
    for (const RecordedStatement& statement : table.statements) {
      if (statement.outcome == outcome) statements.push_back(statement.text);
    }
  }
  return statements;
}

// A run takes the foreign keys off in a short transaction of its own before
// its long one. A script takes them off inside its one transaction instead,
// so that a check that stops it leaves every key where it was; the tables
// they reference are then held until its COMMIT.
std::string KeysTakenOff(const RunRecord& record) {
  const std::vector<std::string> drops = StatementsOf(record, SLOTSYNC_STATEMENT_PLANNED_BEFORE);
  if (drops.empty()) return {};
  // not a message
  std::string text = "-- The foreign keys of the tables this script drops come off first, and\n";
  // not a message
  text += "-- are made again after the COMMIT. Until then the tables they reference\n";
  text += "-- are held: run it while the shop is closed.\n";  // not a message
  for (const std::string& drop : drops) text += WriteBatch(drop);
  return text;
}

// After the commit each key is made again (With NoCheck) and then checked
// against the rows, each statement on its own. One that fails leaves the
// rebuild committed: the script goes on with the next and sqlcmd shows the
// error; run that statement again once its cause is mended.
std::string KeysMadeAgain(const RunRecord& record) {
  const std::vector<std::string> makes = StatementsOf(record, SLOTSYNC_STATEMENT_PLANNED_AFTER);
  if (makes.empty()) return {};
  // not a message
  std::string text = "-- After the commit: the foreign keys again. An error here leaves the\n";
  // not a message
  text += "-- rebuild committed; run the statement it names again once its cause is mended.\n";
  text += ":on error ignore\n";
  const std::string committed = InertBatch(rebuild::StopIf(
      "@@TRANCOUNT>0",
      "the COMMIT left a transaction open (was the script run inside one?); "  // not a message
      "the foreign keys were not made again"));                                // not a message
  for (const std::string& make : makes) text += committed + WriteBatch(make);
  return text + ":on error exit\n";
}

}  // namespace

std::string PlanScript(const RunRecord& record, const SlotsyncResult& result,
                       const CommandLine& line, const std::string& writtenAt) {
  std::string script = "\xEF\xBB\xBF";
  // The script's comments are in English, like its statements.
  // not a message
  script += text::Format("-- slotsync %s plan, written %s\n", kVersion, writtenAt);
  // not a message
  script += text::Format("-- server %s, database %s, N=%d (StockDetailTemp has %d slot columns)\n",
                         InComment(line.server), InComment(line.database), result.slotCount,
                         result.slotColumns);
  script +=
      "-- Review it, then run it with: sqlcmd -S <server> "                 // not a message
      "-d <database> -I -f 65001 -i <this file>\n"                          // not a message
      "-- or open it in Management Studio or Azure Data Studio "            // not a message
      "with SQLCMD mode on.\n"                                              // not a message
      "-- Every check stops it before what it guards is changed: "          // not a message
      "it rolls back, says why\n"                                           // not a message
      "-- and sets NOEXEC ON, so no later batch runs. Run a second time, "  // not a message
      "it says\n"                                                           // not a message
      "-- \"already applied\" and changes nothing.\n";
  script += SqlcmdLines(writtenAt) + SqlcmdModeCheck() + SessionCheck() +
            DatabaseCheck(line.database) + TransactionAndLocks(line.database, line.lockTimeout);
  const std::string alive = Batch(rebuild::TransactionAliveGuard());
  script += KeysTakenOff(record);
  for (const RecordedTable& table : record.Tables()) {
    script += "-- TableTag " + std::to_string(table.tableTag) + " " +
              text::GbkToUtf8(sql::SqlcmdInertText(table.tableName)) + " (" + KindName(table.kind) +
              ")\n";
    for (const RecordedStatement& statement : table.statements) {
      if (statement.outcome < SLOTSYNC_STATEMENT_PLANNED ||  // the plan's own reads
          statement.outcome == SLOTSYNC_STATEMENT_PLANNED_BEFORE ||
          statement.outcome == SLOTSYNC_STATEMENT_PLANNED_AFTER) {
        continue;
      }
      if (statement.outcome == SLOTSYNC_STATEMENT_PLANNED_CHECK) {
        script += InertBatch(statement.text);
        continue;
      }
      // A client that goes on after an error would run this write outside
      // the transaction the failure rolled back.
      script += alive;
      // A drop the run lets fail would stop the script: it runs only when
      // the table is there, the statement itself unchanged.
      if (statement.outcome == SLOTSYNC_STATEMENT_PLANNED_IGNORED &&
          statement.text.starts_with("Drop Table ")) {
        script += text::GbkToUtf8("IF OBJECT_ID(" + sql::UnicodeLiteral(statement.text.substr(11)) +
                                  ") IS NOT NULL\n");
        script += InertBatch(statement.text);
        continue;
      }
      script += WriteBatch(statement.text);
    }
  }
  script += alive;
  script +=
      "-- The commit ends the transaction and with it the application "  // not a message
      "lock.\nCOMMIT\nGO\n";
  script += KeysMadeAgain(record);
  // After a check stopped it, the session would otherwise stay unable to run
  // anything in the query window it was opened in.
  script += "SET NOEXEC OFF\nGO\n";
  return script;
}

}  // namespace slotsync::cli
