#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace slotsync::cli {

// Exit codes of the command.
enum ExitCode : int {
  kExitOk = 0,
  kExitRolledBack = 1,
  kExitCouldNotRun = 2,
  kExitBusy = 3,
  kExitCommitUnknown = 4,
  kExitUsage = 64,
};

// Everything the command touches outside itself, so tests can stand in.
struct Terminal {
  std::istream* in = nullptr;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool inIsTerminal = false;
  bool errIsTerminal = false;
  std::function<const char*(const char*)> getEnv;
  // Reads one line from the terminal without echoing it.
  std::function<std::string(const std::string& prompt)> readSecret;
};

Terminal StandardStreams();

int RunCommand(const std::vector<std::string>& args, const Terminal& terminal);

}  // namespace slotsync::cli
