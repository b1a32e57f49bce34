#include <clocale>
#include <csignal>
#include <cstdio>
#include <vector>

#include "command.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
#if !defined(_WIN32)
  // A closed pipe (slotsync --trace | head) is a failed write the run
  // handles - it rolls back and exits 74 - not a signal that ends the
  // process inside its transaction.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  // Straight into wiped buffers: one argument may be the password.
  const slotsync::cli::Arguments args(argv + 1, argv + argc);
  slotsync::cli::ProtectSecrets(argc, argv);
  return slotsync::cli::RunCommand(args, slotsync::cli::StandardStreams());
}
