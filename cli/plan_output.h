#pragma once

// The three ways the command hands on what a run or a plan found: the plan
// report on the terminal, the --json result, and the --script file an
// administrator can review and run with sqlcmd.

#include <iosfwd>
#include <string>

#include "options.h"
#include "run_record.h"
#include "slotsync/slotsync.h"

namespace slotsync::cli {

// Per table what a run would do, then the problems, notices and notes.
void PrintPlan(const RunRecord& record, const SlotsyncResult& result, std::ostream& out,
               bool isTerminal);

// The last run as one JSON object (the audit log's form, with the
// statements), texts in UTF-8.
std::string JsonResult(const RunRecord& record);

// A run that never began (a command line refused, a log that cannot be
// opened) in the same form, so that whoever reads --json gets an object
// with the error: outcome "bad arguments" or "could not run", the exit
// code, and the message (in the terminal's encoding).
std::string JsonNotBegun(bool badArguments, int exitCode, const std::string& message);

// The planned writes as a T-SQL script for sqlcmd, in UTF-8 with a byte
// order mark (sqlcmd reads it as such): one transaction, XACT_ABORT on, a
// batch per statement, and the run's data-loss checks as statements that
// raise an error before anything they guard is changed.
std::string PlanScript(const RunRecord& record, const SlotsyncResult& result,
                       const CommandLine& line, const std::string& writtenAt);

}  // namespace slotsync::cli
