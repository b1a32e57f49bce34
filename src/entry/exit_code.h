#pragma once

// The exit code the command gives each way a run ends; the audit log and
// --json carry the same.

#include "entry/restructure_run.h"

namespace slotsync::entry {

// Exit codes of the command, and of each run in the audit log.
enum ExitCode : int {
  kExitOk = 0,              // in step, committed, or a dry run that would commit
  kExitRolledBack = 1,      // a failure inside the transaction; nothing changed
  kExitCouldNotRun = 2,     // connection refused, missing table...: before the transaction
  kExitBusy = 3,            // another run is in progress in this process
  kExitCommitUnknown = 4,   // the connection broke during the commit
  kExitLockedOut = 5,       // a lock wait ran out; nothing changed
  kExitNothingFlagged = 6,  // N differs from the slot columns, but S_Modify flags no table
  kExitUsage = 64,          // bad command line
  kExitOutputFailed = 74,   // standard output or error could not be written (EX_IOERR)
  kExitInterrupted = 130,   // Ctrl+C or SIGTERM: the run was cancelled and rolled back
};

// Out of step, and the dictionary names no table to bring in step.
bool StaysOutOfStep(const RunReport& report);

// How the run ended, as the command's exit code.
int ExitCodeOf(const RunReport& report);

}  // namespace slotsync::entry
