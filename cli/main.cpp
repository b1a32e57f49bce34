#include <clocale>
#include <cstdio>
#include <vector>

#include "command.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  // Straight into wiped buffers: one argument may be the password.
  const slotsync::cli::Arguments args(argv + 1, argv + argc);
  slotsync::cli::ProtectSecrets(argc, argv);
  return slotsync::cli::RunCommand(args, slotsync::cli::StandardStreams());
}
