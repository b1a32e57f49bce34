#include "entry/settle_tables.h"

#include "rebuild/detail_table.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

bool Planned(Outcome outcome) {
  return outcome == Outcome::kPlanned || outcome == Outcome::kPlanRefused;
}

// A flagged table the walk did not reach, as the check before it found it.
TableRun UnwalkedTable(const rebuild::TablePlan& plan, const RunReport& report,
                       std::size_t position) {
  TableRun table;
  table.position = position;
  table.count = report.findings.Tables().size();
  table.tableTag = plan.tableTag;
  table.tableName = plan.tableName;
  table.kind = plan.kind;
  table.rows = plan.rows;
  table.rowsLost = rebuild::RowsLostByDesign(plan);
  if (Planned(report.outcome)) {
    table.carried = plan.carried;
    table.dependentsLost = plan.dependentsLost;
    table.emptied = plan.emptied;
  }
  if (rebuild::IsSkippedByDesign(plan.tableTag) && plan.kind == rebuild::TableKind::kNothingToDo) {
    table.status = TableStatus::kSkipped;
    table.skipReason = text::Tr(rebuild::kSkippedByDesignReason);
    table.rowsLost = 0;
    table.emptied.clear();
  } else if (report.findings.Refused(plan.tableTag)) {
    table.status = TableStatus::kRefused;
  } else {
    table.status = Planned(report.outcome) ? TableStatus::kPlanned : TableStatus::kNotReached;
  }
  return table;
}

}  // namespace

void SettleTables(RunReport& report) {
  const auto& plans = report.findings.Tables();
  for (std::size_t i = report.tables.size(); i < plans.size(); ++i) {
    report.tables.push_back(UnwalkedTable(plans[i], report, i + 1));
  }
  report.rebuiltTables = 0;
  for (TableRun& table : report.tables) {
    const bool didWork =
        table.status == TableStatus::kRebuilt || table.status == TableStatus::kStoppedAtNotice;
    switch (report.outcome) {
      case Outcome::kCommitted:
        if (didWork) ++report.rebuiltTables;
        break;
      case Outcome::kPlanned:
      case Outcome::kPlanRefused:
        if (table.status == TableStatus::kPlanned) ++report.rebuiltTables;
        break;
      case Outcome::kCommitUnknown:
        if (didWork) table.status = TableStatus::kCommitUnknown;
        if (table.status == TableStatus::kWorking) table.status = TableStatus::kFailed;
        table.rowsLost = didWork ? std::nullopt : std::optional<std::int64_t>(0);
        // Emptied or not as the commit went: nothing is said to be.
        table.emptied.clear();
        break;
      default:
        // A dry run says what would have been rebuilt; its tables, like
        // those of any run that did not commit, were rolled back.
        if (didWork && report.outcome == Outcome::kPreviewed) ++report.rebuiltTables;
        if (didWork) table.status = TableStatus::kUndone;
        if (table.status == TableStatus::kWorking) table.status = TableStatus::kFailed;
        // Undone: the old tables stand with all they held.
        table.rowsLost = 0;
        table.carried = {};
        table.dependentsLost.clear();
        table.emptied.clear();
        break;
    }
  }
}

}  // namespace slotsync::entry
