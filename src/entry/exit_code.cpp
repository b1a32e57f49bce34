#include "entry/exit_code.h"

namespace slotsync::entry {

bool StaysOutOfStep(const RunReport& report) {
  return report.flaggedRead && report.flaggedRows == 0 && report.slotsCounted &&
         report.slotCount != report.slotColumns;
}

int ExitCodeOf(const RunReport& report) {
  switch (report.outcome) {
    case Outcome::kInStep:
      return kExitOk;
    case Outcome::kCommitted:
    case Outcome::kPreviewed:
    case Outcome::kPlanned:
      return StaysOutOfStep(report) ? kExitNothingFlagged : kExitOk;
    case Outcome::kBusy:
      return kExitBusy;
    case Outcome::kCommitUnknown:
      return kExitCommitUnknown;
    case Outcome::kLockedOut:
      return kExitLockedOut;
    case Outcome::kPlanRefused:
      return kExitRolledBack;
    default:
      break;
  }
  // Stopped from outside: the reason is what the caller needs to know.
  if (report.stopped == StopReason::kOutputFailed) return kExitOutputFailed;
  if (report.stopped == StopReason::kInterrupted) return kExitInterrupted;
  return report.outcome == Outcome::kRolledBack ? kExitRolledBack : kExitCouldNotRun;
}

}  // namespace slotsync::entry
