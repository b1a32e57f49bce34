// The command for Windows: the same command as elsewhere, with the console
// as UTF-16 and Ctrl+C turned into a rollback (terminal_win32.cpp).

#include "command.h"
#include "terminal_win32.h"

int main() {
  const slotsync::cli::Terminal terminal = slotsync::cli::StandardStreams();
  const int code = slotsync::cli::RunCommand(slotsync::cli::WideArguments(), terminal);
  terminal.out->flush();
  // A run that Ctrl+C stopped was rolled back or never started; one that
  // had committed before says so with its own code.
  if (slotsync::cli::Interrupted() && code != slotsync::cli::kExitOk) {
    return slotsync::cli::kExitInterrupted;
  }
  return code;
}
