#pragma once

// What the command prints once a run has ended: the outcome with its counts,
// the failure message, a warning where the database stays out of step, and a
// closing line that says what to do next.

#include "command.h"
#include "options.h"
#include "slotsync/slotsync.h"

namespace slotsync::cli {

// `interrupted`: Ctrl+C or SIGTERM arrived during the run. Returns the exit code.
int PrintSummary(const SlotsyncResult& result, const CommandLine& line, const Terminal& terminal,
                 bool interrupted);

// Text from the database or the server as people should see it, on a
// terminal or not: every control character but the line feed escaped.
std::string Shown(std::string_view gbk, bool isTerminal);

}  // namespace slotsync::cli
