#pragma once

// What a run did to each flagged table, as it goes and at its end: for the
// progress display, the summary, the audit log and the host's callbacks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rebuild/findings.h"

namespace slotsync::entry {

enum class TableStatus {
  kWorking,          // handed to its rebuilder; rows is set once they are counted
  kRebuilt,          // rebuilt; committed with the run unless the run says otherwise
  kNothingToDo,      // flagged, but a table the run leaves as it is
  kStoppedAtNotice,  // the size-decrease notice: left flagged, the run goes on
  kFailed,           // its rebuild failed and the run rolled back
  kUndone,           // rebuilt, then undone when the run rolled back
};

struct TableRun {
  std::size_t position = 0;  // from 1
  std::size_t count = 0;     // flagged tables in the run
  std::int32_t tableTag = 0;
  std::string tableName;  // GBK; empty when the check before the walk did not get it
  rebuild::TableKind kind = rebuild::TableKind::kNothingToDo;
  // Detail tables: the rows copied, from the run's count under its table
  // lock. Per-terminal tables: the rows held, which the rebuild drops.
  std::optional<std::int64_t> rows;
  std::optional<std::int64_t> rowsLost;  // held by tables recreated empty
  double seconds = 0;
  TableStatus status = TableStatus::kWorking;
  // What went over to the new tables beyond their columns, and what was
  // lost by design: first as the check before the walk planned it, then as
  // the rebuild sent it.
  rebuild::CarriedCounts carried;
  std::vector<std::string> dependentsLost;
};

const char* StatusText(TableStatus status);
const char* KindText(rebuild::TableKind kind);

}  // namespace slotsync::entry
