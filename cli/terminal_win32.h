#pragma once

// What the command for Windows adds to the command: the console as UTF-16,
// the password prompt through the console API, progress on the console, and
// Ctrl+C turned into a rollback.

#include <string>
#include <vector>

#include "options.h"

namespace slotsync::cli {

// The program's arguments from the wide command line, as UTF-8, without the
// program's name: the narrow argv would have lost what the ANSI code page
// cannot hold.
// The password's value is blanked in the process's command line, and the
// parsed copy wiped.
Arguments WideArguments();

// True once Ctrl+C or Ctrl+Break was pressed during the run.
bool Interrupted();

}  // namespace slotsync::cli
