#pragma once

// Several databases in one command: each is today's run of one database, in
// a child process of its own (child_process.h), up to -j at once; the parent
// relays what each says, then gives one summary, one exit code and, with
// --json, one object per database plus the totals.

#include <vector>

#include "command.h"
#include "options.h"
#include "platform/secret.h"

namespace slotsync::cli {

// The order of seriousness of the databases' exit codes, most serious
// first; the command exits with the most serious one among them (0 when
// every database ended in step or committed).
inline constexpr int kExitSeriousness[] = {kExitCommitUnknown, kExitInterrupted, kExitRolledBack,
                                           kExitLockedOut,     kExitCouldNotRun, kExitOutputFailed,
                                           kExitBusy,          kExitUsage};

// The most serious of two exit codes.
int MoreSerious(int a, int b);

// `password` in the terminal's encoding; each child gets it on its
// standard input, never in its arguments or environment.
int RunManyDatabases(const CommandLine& line, const Terminal& terminal,
                     const platform::SecretString& password);

// Whether a database of the last RunManyDatabases committed: its changes
// stand whatever becomes of the command's own output afterwards.
bool SomeDatabaseCommitted();

}  // namespace slotsync::cli
