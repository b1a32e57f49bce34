#include "run_record.h"

#include "table_kind.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace slotsync::cli {

void RunRecord::Attach(SlotsyncOptions& options) {
  next_ = options;
  options.onStatement = OnStatement;
  options.statementContext = this;
  options.onProgress = OnProgress;
  options.progressContext = this;
  options.onTableReport = OnTable;
  options.tableReportContext = this;
  options.onFinding = OnFinding;
  options.findingContext = this;
}

std::vector<RecordedStatement> RunRecord::AllStatements() const {
  std::vector<RecordedStatement> all = outside_;
  for (const RecordedTable& table : tables_) {
    all.insert(all.end(), table.statements.begin(), table.statements.end());
  }
  return all;
}

RecordedTable& RunRecord::TableFor(int tableTag) {
  // A TableTag flagged twice gets a second entry; reports fill the first one
  // still waiting for its own.
  for (RecordedTable& table : tables_) {
    if (table.tableTag == tableTag && !table.reported) return table;
  }
  tables_.emplace_back();
  tables_.back().tableTag = tableTag;
  return tables_.back();
}

void SLOTSYNC_CALL RunRecord::OnStatement(void* context, const char* statement, int outcome) {
  auto& record = *static_cast<RunRecord*>(context);
  auto& list = record.inTable_ ? record.tables_.back().statements : record.outside_;
  list.push_back({statement, outcome});
  const SlotsyncOptions& next = record.next_;
  if (next.onStatement != nullptr) next.onStatement(next.statementContext, statement, outcome);
}

void SLOTSYNC_CALL RunRecord::OnProgress(void* context, int event, const char* text) {
  auto& record = *static_cast<RunRecord*>(context);
  if (event == SLOTSYNC_PROGRESS_TABLE) {
    record.tables_.emplace_back();
    record.tables_.back().tableTag = std::atoi(text);
    record.inTable_ = true;
  } else if (event == SLOTSYNC_PROGRESS_CLOSE) {
    record.inTable_ = false;
  }
  const SlotsyncOptions& next = record.next_;
  if (next.onProgress != nullptr) next.onProgress(next.progressContext, event, text);
}

void SLOTSYNC_CALL RunRecord::OnTable(void* context, const SlotsyncTableReport* report) {
  auto& record = *static_cast<RunRecord*>(context);
  RecordedTable& table = record.TableFor(report->tableTag);
  table.reported = true;
  table.kind = report->kind;
  table.tableName = report->tableName != nullptr ? report->tableName : "";
  table.rows = report->rows;
  table.rowsLost = report->rowsLost;
  table.slotsNow = report->slotsNow;
  table.slotsAfter = report->slotsAfter;
  table.columnsAdded = ItemsOf(report->columnsAdded, ',');
  table.columnsDropped = ItemsOf(report->columnsDropped, ',');
  table.sizeTextsUpdated = report->sizeTextsUpdated != 0;
  table.triggerCalled = report->triggerCalled != 0;
  table.carried = CarriedOf(*report);
  table.dependentsLost = ItemsOf(report->dependentsLost, '\n');
  table.emptied = EmptiedOf(*report);
  table.problems = report->problems;
  table.status = report->status;
  table.rowsCopied = report->rowsCopied;
  table.skipReason = report->skipReason != nullptr ? report->skipReason : "";
  const SlotsyncOptions& next = record.next_;
  if (next.onTableReport != nullptr) next.onTableReport(next.tableReportContext, report);
}

void SLOTSYNC_CALL RunRecord::OnFinding(void* context, int tableTag, int severity,
                                        const char* message) {
  auto& record = *static_cast<RunRecord*>(context);
  record.findings_.push_back({tableTag, severity, message != nullptr ? message : ""});
  const SlotsyncOptions& next = record.next_;
  if (next.onFinding != nullptr) next.onFinding(next.findingContext, tableTag, severity, message);
}

}  // namespace slotsync::cli
