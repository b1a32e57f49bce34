#pragma once

// Every JSON a test gets from the command or the audit log is checked
// against the one schema both follow (share/slotsync/run.schema.json), with
// Debian's python3-jsonschema.

#include <string>

namespace slotsync::testing {

// What the validator says is wrong with the JSON text; empty when it matches.
std::string RunSchemaErrors(const std::string& json);

}  // namespace slotsync::testing
