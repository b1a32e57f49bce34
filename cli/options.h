#pragma once

#include <optional>
#include <string>
#include <vector>

namespace slotsync::cli {

struct CommandLine {
  bool help = false;
  bool version = false;
  std::string server, database, user;   // as typed, in the terminal's encoding
  std::optional<std::string> password;  // given with --password
  bool passwordStdin = false;
  bool dryRun = false;
  bool trace = false;
  bool yes = false;
  bool quiet = false;
};

// Throws UsageError for anything it does not understand; no option is ever
// ignored.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

struct UsageError {
  std::string message;
};

}  // namespace slotsync::cli
