#include "plan_output.h"

#include <nlohmann/json.hpp>

#include <ostream>

#include "entry/audit_log.h"
#include "entry/version.h"
#include "summary.h"
#include "table_kind.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

const char* SeverityName(int severity) {
  switch (severity) {
    case SLOTSYNC_PROBLEM:
      return "problem";
    case SLOTSYNC_NOTICE:
      return "notice";
    default:
      return "note";
  }
}

const char* OutcomeName(int outcome) {
  switch (outcome) {
    case SLOTSYNC_IN_STEP:
      return "in step";
    case SLOTSYNC_COMMITTED:
      return "committed";
    case SLOTSYNC_ROLLED_BACK:
      return "rolled back";
    case SLOTSYNC_FAILED_BEFORE_TRANSACTION:
      return "could not run";
    case SLOTSYNC_COMMIT_UNKNOWN:
      return "commit unknown";
    case SLOTSYNC_BUSY:
      return "busy";
    case SLOTSYNC_BAD_ARGUMENTS:
      return "bad arguments";
    case SLOTSYNC_PREVIEWED:
      return "dry run";
    case SLOTSYNC_PLANNED:
      return "planned";
    case SLOTSYNC_PLAN_REFUSED:
      return "plan refused";
    default:
      return "unknown";
  }
}

const char* StatementOutcomeName(int outcome) {
  switch (outcome) {
    case SLOTSYNC_STATEMENT_OK:
      return "ok";
    case SLOTSYNC_STATEMENT_FAILED_IGNORED:
      return "failed, ignored";
    case SLOTSYNC_STATEMENT_FAILED:
      return "failed";
    case SLOTSYNC_STATEMENT_PLANNED:
      return "planned";
    case SLOTSYNC_STATEMENT_PLANNED_IGNORED:
      return "planned, failure ignored";
    default:
      return "planned check";
  }
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::string Rows(long long rows) {
  return rows < 0 ? std::string("an unknown number of") : std::to_string(rows);
}

void PrintTable(const RecordedTable& table, std::ostream& out, bool isTerminal) {
  out << "TableTag " << table.tableTag << " " << Shown(table.tableName, isTerminal) << " ("
      << KindName(table.kind) << ")";
  if (table.kind == SLOTSYNC_TABLE_DETAIL) {
    out << ": copies " << Rows(table.rows) << " rows; slot columns " << table.slotsNow << " -> "
        << table.slotsAfter;
    if (table.sizeTextsUpdated) out << "; size texts extended";
    if (table.triggerCalled) out << "; CreateInvoiceDetailTrigger called";
  } else if (table.kind == SLOTSYNC_TABLE_PER_TERMINAL) {
    out << ": recreated empty";
    if (table.slotsAfter > 0) out << " with " << table.slotsAfter << " slot columns";
  }
  out << '\n';
  if (!table.columnsAdded.empty()) {
    out << "  columns added: " << Shown(Joined(table.columnsAdded), isTerminal) << '\n';
  }
  if (!table.columnsDropped.empty()) {
    out << "  columns dropped: " << Shown(Joined(table.columnsDropped), isTerminal) << '\n';
  }
  if (table.kind != SLOTSYNC_TABLE_NOTHING_TO_DO) {
    // Recreated empty by design: whoever reads the plan must see what goes.
    out << "  rows lost by design (tables recreated empty): " << Rows(table.rowsLost) << '\n';
  }
  if (const std::string carried = rebuild::CarriedText(table.carried); !carried.empty()) {
    out << "  " << carried << '\n';
  }
  for (const std::string& lost : table.dependentsLost) {
    out << "  lost by design: " << Shown(lost, isTerminal) << '\n';
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

nlohmann::json FindingsJson(const std::vector<RecordedFinding>& findings, int tableTag) {
  nlohmann::json list = nlohmann::json::array();
  for (const RecordedFinding& f : findings) {
    if (f.tableTag != tableTag) continue;
    list.push_back({{"severity", SeverityName(f.severity)}, {"message", Utf8(f.message)}});
  }
  return list;
}

nlohmann::json NamesJson(const std::vector<std::string>& names) {
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& name : names) list.push_back(Utf8(name));
  return list;
}

}  // namespace

void PrintPlan(const RunRecord& record, const SlotsyncResult& result, std::ostream& out,
               bool isTerminal) {
  out << "plan: N=" << result.slotCount << ", StockDetailTemp has " << result.slotColumns
      << " slot columns; " << result.flaggedRows << " flagged tables\n";
  for (const RecordedTable& table : record.Tables()) PrintTable(table, out, isTerminal);
  for (const int severity : {SLOTSYNC_PROBLEM, SLOTSYNC_NOTICE, SLOTSYNC_NOTE}) {
    for (const RecordedFinding& finding : record.Findings()) {
      if (finding.severity != severity) continue;
      out << SeverityName(severity) << ": ";
      if (finding.tableTag != 0) out << "TableTag " << finding.tableTag << ": ";
      out << Shown(finding.message, isTerminal) << '\n';
    }
  }
}

std::string JsonResult(const RunRecord& record, const SlotsyncResult& result, int exitCode,
                       const std::string& message) {
  nlohmann::json tables = nlohmann::json::array();
  for (const RecordedTable& table : record.Tables()) {
    nlohmann::json entry = {
        {"tableTag", table.tableTag},
        {"kind", KindName(table.kind)},
        {"table", Utf8(table.tableName)},
        {"slotsNow", table.slotsNow},
        {"slotsAfter", table.slotsAfter},
        {"columnsAdded", NamesJson(table.columnsAdded)},
        {"columnsDropped", NamesJson(table.columnsDropped)},
        {"sizeTextsUpdated", table.sizeTextsUpdated},
        {"triggerCalled", table.triggerCalled},
        {"carried", entry::CarriedJson(table.carried)},
        {"dependentsLost", entry::LostJson(table.dependentsLost)},
        {"problems", FindingsJson(record.Findings(), table.tableTag)},
        {"statements", StatementsJson(table.statements)},
    };
    entry["rows"] = table.rows < 0 ? nlohmann::json(nullptr) : nlohmann::json(table.rows);
    entry["rowsLost"] =
        table.rowsLost < 0 ? nlohmann::json(nullptr) : nlohmann::json(table.rowsLost);
    tables.push_back(std::move(entry));
  }
  const nlohmann::json json = {
      {"outcome", OutcomeName(result.outcome)},
      {"exitCode", exitCode},
      {"slotCount", result.slotCount},
      {"slotColumns", result.slotColumns},
      {"flaggedRows", result.flaggedRows},
      {"rebuiltTables", result.rebuiltTables},
      {"tables", tables},
      {"problems", FindingsJson(record.Findings(), 0)},
      {"statements", StatementsJson(record.Outside())},
      {"message", Utf8(message)},
      {"version", kVersion},
  };
  // Bytes that are no UTF-8 cannot reach here (every text went through the
  // converter), but a JSON writer must not throw on them either.
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string PlanScript(const RunRecord& record, const SlotsyncResult& result,
                       const CommandLine& line, const std::string& writtenAt) {
  std::string script = "\xEF\xBB\xBF";
  script += "-- slotsync " + std::string(kVersion) + " plan, written " + writtenAt + "\n";
  script += "-- server " + line.server + ", database " + line.database +
            ", N=" + std::to_string(result.slotCount) + " (StockDetailTemp has " +
            std::to_string(result.slotColumns) + " slot columns)\n";
  script +=
      "-- Review it, then run it with: sqlcmd -S <server> -d <database> -f 65001 -i <this "
      "file>\n";
  script += "-- Any error stops it; the server then rolls the whole transaction back.\n";
  script += ":on error exit\nSET XACT_ABORT ON\nGO\nBEGIN TRANSACTION\nGO\n";
  for (const RecordedTable& table : record.Tables()) {
    script += "-- TableTag " + std::to_string(table.tableTag) + " " +
              text::GbkToUtf8(table.tableName) + " (" + KindName(table.kind) + ")\n";
    for (const RecordedStatement& statement : table.statements) {
      if (statement.outcome < SLOTSYNC_STATEMENT_PLANNED) continue;  // the plan's own reads
      // A drop the run lets fail would stop the script: it runs only when
      // the table is there, the statement itself unchanged.
      if (statement.outcome == SLOTSYNC_STATEMENT_PLANNED_IGNORED &&
          statement.text.starts_with("Drop Table ")) {
        script +=
            "IF OBJECT_ID(N'" + text::GbkToUtf8(statement.text.substr(11)) + "') IS NOT NULL\n";
      }
      script += text::GbkToUtf8(statement.text) + "\nGO\n";
    }
  }
  script += "COMMIT\nGO\n";
  return script;
}

}  // namespace slotsync::cli
