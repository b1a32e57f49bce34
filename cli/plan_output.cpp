#include "plan_output.h"

#include <nlohmann/json.hpp>

#include <ostream>

#include "entry/public_api.h"
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
  out << "TableTag " << table.tableTag;
  if (!table.tableName.empty()) out << " " << Shown(table.tableName, isTerminal);
  out << " (" << KindName(table.kind) << ")";
  if (table.status == SLOTSYNC_TABLE_REFUSED) {
    out << ": refused (see problems)\n";
    return;
  }
  if (table.status == SLOTSYNC_TABLE_UNCHANGED) {
    out << ": skipped: " << Shown(table.skipReason, isTerminal) << '\n';
    return;
  }
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
      out << SeverityName(severity) << ": ";
      if (finding.tableTag != 0) out << "TableTag " << finding.tableTag << ": ";
      out << Shown(finding.message, isTerminal) << '\n';
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
