#pragma once

// Stopping the run in progress from another thread: Ctrl+C in the command,
// taken by a watcher thread. The statement running at that moment is
// cancelled by the driver, every later statement and the commit are refused,
// and the run rolls back as after any failure inside its transaction.

#include <memory>

#include "sql/connection.h"

namespace slotsync::entry {

// Why a run was stopped from outside.
enum class StopReason {
  kNone,
  kInterrupted,   // Ctrl+C, SIGTERM, or the host's RefreshStructCancel
  kOutputFailed,  // the command's output could not be written (a closed pipe, a full disk)
};

// Cancels the run in progress in this process; before a run's client exists,
// the next run starts cancelled. Any thread; not from a signal handler.
void CancelRun(StopReason reason = StopReason::kInterrupted);

// For hosts of the C API: cancels the run in progress, if there is one, and
// says whether there was. Unlike CancelRun, a cancel while no run is in
// progress is dropped, so that a late click on a host's Cancel button
// cannot fail the next run it starts.
bool CancelRunInProgress();

// Marks a call of the C API in progress for as long as it lives. When the
// last one ends, a cancel that never reached a run is dropped with it.
class RunInProgress {
 public:
  RunInProgress();
  ~RunInProgress();
  RunInProgress(const RunInProgress&) = delete;
  RunInProgress& operator=(const RunInProgress&) = delete;
};

// While one lives, a cancelled run may still send statements: an online run
// removes its own new tables and captures on its way out, interrupted or
// not, so that the shop's tables do not keep a trigger of a run that is gone.
class CleanUpAfterCancel {
 public:
  CleanUpAfterCancel();
  ~CleanUpAfterCancel();
  CleanUpAfterCancel(const CleanUpAfterCancel&) = delete;
  CleanUpAfterCancel& operator=(const CleanUpAfterCancel&) = delete;
};

// Whether CancelRun reached the run that the last Cancellable client served.
bool RunWasCancelled();
// Why, when it did; kNone otherwise.
StopReason RunStopReason();

// The client of a new run, made reachable for CancelRun while it lives.
std::unique_ptr<sql::Connection> Cancellable(std::unique_ptr<sql::Connection> client);

}  // namespace slotsync::entry
