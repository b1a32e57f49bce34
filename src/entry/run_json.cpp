#include "entry/run_json.h"

#include "entry/version.h"
#include "text/gbk.h"

namespace slotsync::entry {
namespace {

nlohmann::json Optional(const std::optional<std::int64_t>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json Utf8(const std::string& gbk) {
  return text::GbkToUtf8(gbk);
}

nlohmann::json Names(const std::vector<std::string>& names) {
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& name : names) list.push_back(Utf8(name));
  return list;
}

const char* SeverityName(rebuild::Severity severity) {
  switch (severity) {
    case rebuild::Severity::kRefusal:
      return "problem";
    case rebuild::Severity::kNotice:
      return "notice";
    case rebuild::Severity::kNote:
      return "note";
  }
  return "note";
}

// What a table got back on its new tables, and what it lost by design.
nlohmann::json CarriedJson(const rebuild::CarriedCounts& counts) {
  return {{"indexes", counts.indexes},
          {"constraints", counts.constraints},
          {"permissions", counts.permissions},
          {"triggers", counts.triggers},
          {"descriptions", counts.properties}};
}

nlohmann::json TableJson(const TableRun& table, const rebuild::TablePlan* plan) {
  nlohmann::json entry = {
      {"tableTag", table.tableTag},
      {"table", table.tableName.empty() ? nlohmann::json(nullptr) : Utf8(table.tableName)},
      {"kind", KindText(table.kind)},
      {"status", StatusText(table.status)},
      {"skipReason", table.skipReason.empty() ? nlohmann::json(nullptr) : Utf8(table.skipReason)},
      {"rows", Optional(table.rows)},
      {"rowsCopied", Optional(table.rowsCopied)},
      {"rowsLost", Optional(table.rowsLost)},
      {"seconds", table.seconds},
      {"carried", CarriedJson(table.carried)},
      {"dependentsLost", Names(table.dependentsLost)},
  };
  nlohmann::json emptied = nlohmann::json::array();
  for (const auto& [name, rows] : table.emptied) {
    emptied.push_back({{"table", Utf8(name)}, {"rows", Optional(rows)}});
  }
  entry["emptied"] = std::move(emptied);
  // What the check before the walk (or the plan) learnt of the table.
  entry["slotsNow"] = plan != nullptr ? nlohmann::json(plan->slotsNow) : nlohmann::json(nullptr);
  entry["slotsAfter"] =
      plan != nullptr ? nlohmann::json(plan->slotsAfter) : nlohmann::json(nullptr);
  entry["columnsAdded"] = plan != nullptr ? Names(plan->columnsAdded) : nlohmann::json::array();
  entry["columnsDropped"] = plan != nullptr ? Names(plan->columnsDropped) : nlohmann::json::array();
  entry["sizeTextsUpdated"] = plan != nullptr && plan->sizeTextsUpdated;
  entry["triggerCalled"] = plan != nullptr && plan->triggerCalled;
  return entry;
}

nlohmann::json Counted(bool known, std::int32_t value) {
  return known ? nlohmann::json(value) : nlohmann::json(nullptr);
}

}  // namespace

// The fixed names a program reads, in English whatever the message language.
const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kInStep:
      return "in step";  // not a message
    case Outcome::kCommitted:
      return "committed";
    case Outcome::kRolledBack:
      return "rolled back";  // not a message
    case Outcome::kFailedBeforeTransaction:
      return "could not run";  // not a message
    case Outcome::kCommitUnknown:
      return "commit unknown";  // not a message
    case Outcome::kBusy:
      return "busy";
    case Outcome::kBadArguments:
      return "bad arguments";  // not a message
    case Outcome::kPreviewed:
      return "dry run";  // not a message
    case Outcome::kPlanned:
      return "planned";
    case Outcome::kPlanRefused:
      return "plan refused";  // not a message
    case Outcome::kLockedOut:
      return "locked out";  // not a message
  }
  return "could not run";  // not a message
}

const char* OutcomeName(const RunReport& report) {
  // What a person and a program must tell apart from the outcome itself: a
  // run stopped from outside, and one that found nothing to bring in step.
  const int exitCode = ExitCodeOf(report);
  if (exitCode == kExitInterrupted) return "interrupted";
  if (exitCode == kExitNothingFlagged) return "out of step, nothing flagged";  // not a message
  return OutcomeName(report.outcome);
}

nlohmann::json RunJson(const RunReport& report) {
  const auto& plans = report.findings.Tables();
  nlohmann::json tables = nlohmann::json::array();
  for (std::size_t i = 0; i < report.tables.size(); ++i) {
    const TableRun& table = report.tables[i];
    const bool planned = i < plans.size() && plans[i].tableTag == table.tableTag;
    tables.push_back(TableJson(table, planned ? &plans[i] : nullptr));
  }
  nlohmann::json problems = nlohmann::json::array();
  for (const rebuild::Problem& problem : report.findings.Problems()) {
    problems.push_back({{"tableTag", problem.tableTag == 0 ? nlohmann::json(nullptr)
                                                           : nlohmann::json(problem.tableTag)},
                        {"severity", SeverityName(problem.severity)},
                        {"message", Utf8(problem.message)}});
  }
  nlohmann::json json = {
      {"schemaVersion", kRunJsonSchemaVersion},
      {"version", kVersion},
      {"outcome", OutcomeName(report)},
      {"exitCode", ExitCodeOf(report)},
      {"slotCount", Counted(report.slotsCounted, report.slotCount)},
      {"slotColumns", Counted(report.slotsCounted, report.slotColumns)},
      {"flaggedTables", Counted(report.flaggedRead, report.flaggedRows)},
      {"rebuiltTables", report.rebuiltTables},
      {"failedTableTag",
       report.failedTableTag ? nlohmann::json(*report.failedTableTag) : nlohmann::json(nullptr)},
      {"tables", tables},
      {"problems", problems},
      {"statementsSent", report.statementsSent},
      {"seconds", report.seconds},
      {"message", Utf8(report.message)},
  };
  nlohmann::json leftBehind = nlohmann::json::array();
  for (const LeftBehind& left : report.leftBehind) leftBehind.push_back(Utf8(left.what));
  json["leftBehind"] = std::move(leftBehind);
  if (report.loginFailed) json["loginFailed"] = true;
  return json;
}

}  // namespace slotsync::entry
