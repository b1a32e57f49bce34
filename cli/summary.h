#pragma once

// What the command prints once a run has ended: the outcome with its counts,
// the failure message, a warning where the database stays out of step, and a
// closing line that says what to do next.

#include "command.h"
#include "options.h"
#include "slotsync/slotsync.h"

namespace slotsync::cli {

// Returns the exit code, which the run's record gives.
int PrintSummary(const SlotsyncResult& result, const CommandLine& line, const Terminal& terminal);

// A plan's outcome in one line: the first line of its report.
std::string PlanLine(const SlotsyncResult& result);

// N differs from the slot columns and S_Modify flags no table: an outcome of
// its own, never "committed".
std::string OutOfStepLine(const SlotsyncResult& result);

// A write to the command's output failed (a closed pipe, a full disk): the
// run is stopped and rolls back like after any other failure, rather than
// go on and commit what nobody could read about.
void StopRunIfOutputLost(const std::ostream& stream);

// Text from the database or the server as people should see it, on a
// terminal or not: every control character but the line feed escaped.
std::string Shown(std::string_view gbk, bool isTerminal);

// The same for text already in the terminal's encoding (a name typed or read
// from a file, a database's name from the server's catalog, a line a child
// relays), kept on its one line: a line feed is escaped too.
std::string ShownOnOneLine(std::string_view terminalText);

}  // namespace slotsync::cli
