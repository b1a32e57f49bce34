#pragma once

// What the command hands on once a run has ended: the plan's report, the
// summary, the --json result and the --script file.

#include "command.h"
#include "options.h"
#include "run_record.h"
#include "slotsync/slotsync.h"

namespace slotsync::cli {

// Returns the exit code: the run's, or 74 when its script could not be written.
int Report(const RunRecord& record, const SlotsyncResult& result, const CommandLine& line,
           const Terminal& terminal);

}  // namespace slotsync::cli
