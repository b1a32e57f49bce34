#pragma once

// The audit trail: one JSON line per run, appended to a file that several
// processes and machines may share.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "entry/restructure_run.h"

namespace slotsync::entry {

// The run as one line of JSON (UTF-8, ending in a newline): when, where, who
// (never the password), then the run as the command's --json gives it.
std::string AuditLine(const ConnectionArguments& arguments, const RunReport& report);

// Appends the line with one write to a file opened for appending, so that
// lines of runs at the same time never interleave. The path is GBK. Returns
// empty text, or why it could not be written.
std::string AppendAuditLine(const std::string& gbkPath, const std::string& line);

// The time now in UTC, as ISO 8601 ("2026-12-07T11:30:00Z").
std::string UtcTimestamp();

// The path SLOTSYNC_LOG names, as GBK; empty when it is not set.
std::string AuditLogFromEnvironment();

}  // namespace slotsync::entry
