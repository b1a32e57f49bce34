#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "entry/exit_code.h"
#include "entry/size_connection.h"
#include "options.h"
#include "platform/secret.h"

namespace slotsync::cli {

// Exit codes of the command: those of the audit log's runs.
using entry::ExitCode;
using enum entry::ExitCode;

// Everything the command touches outside itself, so tests can stand in.
struct Terminal {
  std::istream* in = nullptr;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool inIsTerminal = false;
  bool outIsTerminal = false;
  bool errIsTerminal = false;
  std::function<const char*(const char*)> getEnv;
  // Wipes a variable's value wherever the process holds it, once read (the
  // password's). Not set: the environment stays as it is.
  std::function<void(const char* name)> forgetEnv;
  // Reads one line from the terminal without echoing it; empty at its end
  // (Ctrl+D). The terminal is restored however the prompt ends.
  std::function<std::string(const std::string& prompt)> readSecret;
  // Reads standard input up to its first line feed, and not a byte further
  // (what follows stays for whoever reads next), straight into a wiped
  // buffer: no copy is left in a buffer of the C library. Stops after
  // `most` bytes of the line. Not set: a line of `in`.
  std::function<platform::SecretString(std::size_t most)> readInputLine;
  // While the returned object lives, Ctrl+C and SIGTERM call onInterrupt on a
  // thread of their own; a second one ends the process at once. Not set:
  // signals keep their default effect.
  std::function<std::shared_ptr<void>(std::function<void()> onInterrupt)> watchInterrupts;
  // Waits for Enter on the terminal; returns at once, false, when endWaits
  // is called meanwhile (Ctrl+C). Not set: reads a line from `in`.
  std::function<bool()> waitForEnter;
  std::function<void()> endWaits;
  // The database client; the real ODBC one when not set.
  const entry::ClientFactory* makeClient = nullptr;
  // Waits between tries after a lock-out; none when not set.
  std::function<void(int seconds)> pause;
};

Terminal StandardStreams();

// Keeps the password out of core files and other processes' reach, and
// blanks --password's value in the process list to a fixed "***" that does
// not tell its length; call with main's arguments after copying them.
void ProtectSecrets(int argc, char** argv);

int RunCommand(const Arguments& args, const Terminal& terminal);

}  // namespace slotsync::cli
