#pragma once

// The command's view of the tables a run works on: a line per table as it
// goes (one line updated in place on a terminal), who holds the database
// while the run waits, and at the end a summary table.

#include <chrono>
#include <condition_variable>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "command.h"
#include "slotsync/slotsync.h"
#include "table_kind.h"

namespace slotsync::cli {

class TableDisplay {
 public:
  TableDisplay(const Terminal& terminal, bool quiet) : terminal_(terminal), quiet_(quiet) {}

  // Sets the callbacks of the run's options to this display.
  void Attach(SlotsyncOptions& options);
  // The summary table on standard output, and on standard error each table
  // that stays flagged with the reason.
  void PrintSummary() const;

 private:
  struct Row {
    int tableTag = 0;
    std::string tableName;  // GBK
    int kind = 0;
    long long rowsCopied = -1, rowsLost = -1;
    double seconds = 0;
    int status = 0;
    std::string skipReason;                   // GBK
    std::string carried;                      // "3 indexes, 1 trigger carried"
    std::vector<std::string> dependentsLost;  // GBK
    std::vector<EmptiedTable> emptied;
  };
  static void SLOTSYNC_CALL OnProgress(void* context, const SlotsyncTableReport* table);
  static void SLOTSYNC_CALL OnReport(void* context, const SlotsyncTableReport* table);
  static void SLOTSYNC_CALL OnFinding(void* context, int tableTag, int severity,
                                      const char* message);
  static void SLOTSYNC_CALL OnWindow(void* context, int event, const char* text);
  void ShowProgress(const SlotsyncTableReport& table);
  std::string ProgressLine(const SlotsyncTableReport& table) const;
  // Draws `line` over the open line of the terminal, or on a new one.
  void Draw(const std::string& line);
  void ShowChecking(const std::string& text);
  // Once a second while a table is under way on a terminal: its line with
  // the time it has taken, and for a copy the time left at the pace of the
  // copies this run has done.
  void Tick();
  void StopTicking();
  std::string TimeTaken(const std::chrono::steady_clock::duration& taken) const;

  struct Working {
    int tableTag = 0;
    std::string line;  // in the terminal's encoding
    long long rows = -1;
    std::chrono::steady_clock::time_point start;
  };

  const Terminal& terminal_;
  bool quiet_;
  std::vector<Row> rows_;
  std::vector<std::pair<int, std::string>> notices_;  // TableTag, why it stays flagged
  std::vector<std::pair<int, std::string>> notes_;    // TableTag (0: the run's), GBK
  std::size_t drawn_ = 0;                             // the width of the line updated in place
  std::string prompt_;                                // GBK, the run's prompt
  // What Tick draws, guarded by ui::ConsoleLineMutex() like the line.
  std::optional<Working> working_;
  double rowsCopiedSoFar_ = 0, copySecondsSoFar_ = 0;  // the pace of the copies done
  std::condition_variable_any tick_;
  std::jthread ticker_;  // last: stopped and joined before the rest goes
};

// 1234567 as "1,234,567".
std::string WithThousands(long long number);

// "SalesDetail_U 4, SalesDetail_I 4, SalesDetail_D 4": each table recreated
// empty by design with the rows it held, names escaped for the terminal.
std::string EmptiedList(const std::vector<EmptiedTable>& tables);

// Those that held rows (or may have): what a run's summary names as lost.
std::vector<EmptiedTable> HoldingRows(const std::vector<EmptiedTable>& tables);

}  // namespace slotsync::cli
