#include "entry/table_progress.h"

namespace slotsync::entry {

const char* StatusText(TableStatus status) {
  switch (status) {
    case TableStatus::kWorking:
      return "working";
    case TableStatus::kRebuilt:
      return "rebuilt";
    case TableStatus::kNothingToDo:
      return "nothing to do";
    case TableStatus::kStoppedAtNotice:
      return "stopped at the size-decrease notice";
    case TableStatus::kFailed:
      return "failed";
    case TableStatus::kUndone:
      return "rolled back";
  }
  return "unknown";
}

const char* KindText(rebuild::TableKind kind) {
  switch (kind) {
    case rebuild::TableKind::kDetail:
      return "detail";
    case rebuild::TableKind::kPerTerminal:
      return "per-terminal";
    case rebuild::TableKind::kNothingToDo:
      return "none";
  }
  return "unknown";
}

}  // namespace slotsync::entry
