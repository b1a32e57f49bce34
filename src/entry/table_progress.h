#pragma once

// What a run did to each flagged table, as it goes and at its end: the one
// record the progress display, the summary, the JSON result, the audit log
// and the host's callbacks all read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rebuild/findings.h"

namespace slotsync::entry {

// Settled from what the run did to the table and how the run ended: a table
// is only "rebuilt" once its run has committed.
enum class TableStatus {
  kWorking,          // handed to its rebuilder; rows is set once they are counted
  kRebuilt,          // rebuilt; committed with the run unless the run says otherwise
  kSkipped,          // flagged, but a table the run leaves as it is (skipReason says why)
  kStoppedAtNotice,  // rebuilt, its size texts left at the size-decrease notice: stays flagged
  kFailed,           // its rebuild failed and the run rolled back
  kUndone,           // rebuilt, then undone when the run rolled back
  kRefused,          // the check before the transaction found a problem: never begun
  kNotReached,       // the run ended before it came to this table
  kCommitUnknown,    // rebuilt, but whether the commit took cannot be told
  kPlanned,          // a plan: a run would rebuild it
  kInterrupted,      // under way when Ctrl+C (or the host's cancel) stopped the run: rolled back
};

struct TableRun {
  std::size_t position = 0;  // from 1
  std::size_t count = 0;     // flagged tables in the run
  std::int32_t tableTag = 0;
  std::string tableName;  // GBK; empty when the check before the walk did not get it
  rebuild::TableKind kind = rebuild::TableKind::kNothingToDo;
  // Detail tables: the rows held, from the run's count under its table
  // lock (the catalog's in a plan). Per-terminal tables: the rows held,
  // which the rebuild drops.
  std::optional<std::int64_t> rows;
  // Detail tables: the rows the copy carried over, from the copy's own
  // count; none when the copy never ran.
  std::optional<std::int64_t> rowsCopied;
  // Rows of the tables recreated empty: lost only once the run committed
  // (0 otherwise); in a plan, what a run would lose.
  std::optional<std::int64_t> rowsLost;
  // The tables behind rowsLost, each with its rows (unknown: not counted,
  // or a commit whose outcome cannot be told).
  std::vector<std::pair<std::string, std::optional<std::int64_t>>> emptied;
  double seconds = 0;
  TableStatus status = TableStatus::kWorking;
  // What went over to the new tables beyond their columns, and what was
  // lost by design: first as the check before the walk planned it, then as
  // the rebuild sent it.
  rebuild::CarriedCounts carried;
  std::vector<std::string> dependentsLost;
  std::string skipReason;  // kSkipped: why the run leaves the table as it is
};

// The status as a fixed name, for people and for JSON alike.
const char* StatusText(TableStatus status);
const char* KindText(rebuild::TableKind kind);

}  // namespace slotsync::entry
