#include "entry/table_progress.h"

namespace slotsync::entry {

// Fixed names a program reads (the JSON result, the audit log): never
// translated.
const char* StatusText(TableStatus status) {
  switch (status) {
    case TableStatus::kWorking:
      return "working";
    case TableStatus::kRebuilt:
      return "rebuilt";
    case TableStatus::kSkipped:
      return "skipped";
    case TableStatus::kStoppedAtNotice:
      return "rebuilt, size texts left";  // not a message
    case TableStatus::kFailed:
      return "failed";
    case TableStatus::kUndone:
      return "rolled back";  // not a message
    case TableStatus::kRefused:
      return "refused";
    case TableStatus::kNotReached:
      return "not reached";  // not a message
    case TableStatus::kCommitUnknown:
      return "commit unknown";  // not a message
    case TableStatus::kPlanned:
      return "planned";
    case TableStatus::kInterrupted:
      return "interrupted";
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
