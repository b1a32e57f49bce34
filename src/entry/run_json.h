#pragma once

// A run as JSON, one form for the command's --json result and for the audit
// log alike (share/slotsync/run.schema.json describes it).

#include <nlohmann/json.hpp>

#include "entry/exit_code.h"
#include "entry/restructure_run.h"

namespace slotsync::entry {

// Raised whenever the form changes in a way a reader must know of.
inline constexpr int kRunJsonSchemaVersion = 3;

// The outcome as its fixed name ("committed", "could not run", ...).
const char* OutcomeName(Outcome outcome);
// The name a report's JSON and the command's lines give it: "interrupted"
// for a run stopped by Ctrl+C, "out of step, nothing flagged" for one that
// found N and the slot columns apart and no table to rebuild.
const char* OutcomeName(const RunReport& report);

// What the run found and did: outcome, exit code, counts (null where the
// run did not get as far as learning them), each flagged table with its
// status, the problems with their table, the message.
nlohmann::json RunJson(const RunReport& report);

}  // namespace slotsync::entry
