#pragma once

// What a database's run result (the JSON a child prints for the command
// running several databases) says to a person: its outcome and findings in
// the message language, what it lost by design and the tables it leaves
// flagged, so that the fleet reports what a single run reports.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace slotsync::cli {

// A child's JSON text (UTF-8) in the terminal's encoding, which may be GBK.
std::string ForTerminal(const std::string& utf8);

// An outcome as a person reads it; a name this command does not know (a
// newer child's) is shown as the child wrote it.
std::string ShownOutcome(const std::string& outcome);

// A finding's severity as the JSON names it, for a person.
std::string ShownSeverity(const std::string& severity);

// What the run lost by design (or, planned, would lose), counted.
int LostOf(const nlohmann::json& result);

// The tables a commit leaves flagged (or a plan would).
int StaysFlaggedOf(const nlohmann::json& result);

// The lines a single run prints after its summary, in the terminal's
// encoding, not yet escaped: per table what it lost by design, the tables
// recreated empty with their rows, why it stays flagged; then the notes.
// With `quiet` only the tables that stay flagged.
std::vector<std::string> WhatItLost(const nlohmann::json& result, bool quiet);

}  // namespace slotsync::cli
