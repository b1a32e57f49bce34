#pragma once

// What a run told the command through its callbacks, kept for the plan
// report, the --json result and the --script file: the statements per
// flagged table in order, each table's facts and every finding.

#include <string>
#include <vector>

#include "rebuild/findings.h"
#include "slotsync/slotsync.h"
#include "table_kind.h"

namespace slotsync::cli {

struct RecordedStatement {
  std::string text;  // GBK
  int outcome = SLOTSYNC_STATEMENT_OK;
};

struct RecordedTable {
  int tableTag = 0;
  bool reported = false;  // the run's table report arrived
  int kind = SLOTSYNC_TABLE_NOTHING_TO_DO;
  std::string tableName;
  long long rows = -1;
  long long rowsLost = -1;
  int slotsNow = 0;
  int slotsAfter = 0;
  std::vector<std::string> columnsAdded, columnsDropped;
  bool sizeTextsUpdated = false;
  bool triggerCalled = false;
  rebuild::CarriedCounts carried;
  std::vector<std::string> dependentsLost;  // GBK, each with its reason
  std::vector<EmptiedTable> emptied;        // recreated empty by design, with their rows
  int problems = 0;                         // problems and notices found for it
  int status = SLOTSYNC_TABLE_PLANNED;
  long long rowsCopied = -1;
  std::string skipReason;
  std::vector<RecordedStatement> statements;
};

struct RecordedFinding {
  int tableTag = 0;
  int severity = SLOTSYNC_PROBLEM;
  std::string message;  // GBK
};

class RunRecord {
 public:
  // Points the options' statement, progress, table and finding callbacks
  // here; each is handed on to the one the options had before (a --trace
  // printout, the table lines), which keeps its own context.
  void Attach(SlotsyncOptions& options);

  const std::vector<RecordedStatement>& Outside() const { return outside_; }
  const std::vector<RecordedTable>& Tables() const { return tables_; }
  const std::vector<RecordedFinding>& Findings() const { return findings_; }
  // Every statement in order, those outside the tables first.
  std::vector<RecordedStatement> AllStatements() const;

 private:
  static void SLOTSYNC_CALL OnStatement(void* context, const char* statement, int outcome);
  static void SLOTSYNC_CALL OnProgress(void* context, int event, const char* text);
  static void SLOTSYNC_CALL OnTable(void* context, const SlotsyncTableReport* table);
  static void SLOTSYNC_CALL OnFinding(void* context, int tableTag, int severity,
                                      const char* message);
  RecordedTable& TableFor(int tableTag);

  std::vector<RecordedStatement> outside_;
  std::vector<RecordedTable> tables_;
  std::vector<RecordedFinding> findings_;
  bool inTable_ = false;
  SlotsyncOptions next_{};  // the callbacks this record hands on to
};

}  // namespace slotsync::cli
