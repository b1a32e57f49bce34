// The slotsync command under valgrind's memcheck for a whole committed run
// through unixODBC and the scripted driver: no invalid access, no use of
// uninitialised memory, no leak.
//
// Only in builds without the sanitizers: memcheck cannot run a program built
// with AddressSanitizer, which checks the same things itself there.

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "e2e_fixture.h"

#if !SLOTSYNC_E2E_SANITIZED

namespace slotsync::e2e {
namespace {

// valgrind's path when it is installed, else empty.
std::string FindValgrind() {
  const char* path = std::getenv("PATH");
  std::istringstream directories(path != nullptr ? path : "");
  for (std::string directory; std::getline(directories, directory, ':');) {
    const std::string candidate = directory + "/valgrind";
    if (!directory.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

using Valgrind = EndToEnd;

TEST_P(Valgrind, FindsNoErrorAndNoLeakInACommittedRunOfTheCommand) {
  const std::string valgrind = FindValgrind();
  if (valgrind.empty()) {
    GTEST_SKIP() << "valgrind is not installed (scripts/setup.sh --test installs it); the "
                    "memcheck run of the slotsync command was skipped";
  }
  testing::FourTables().Apply(*this);
  Record();
  const ProgramRun run = RunProgram(
      {valgrind, "--error-exitcode=1", "--leak-check=full", "--quiet", Built::Command(), "--server",
       "srv", "--database", "Shop", "--user", "sa", "--trace", "--lock-timeout", "0"},
      Environment());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("\ncommitted: N=3, StockDetailTemp still has 2 slot columns (it was not "
                         "flagged); 4 of 4 flagged "
                         "tables rebuilt\nTableTag table "),
            std::string::npos)
      << run.out;
  // With --quiet valgrind prints nothing unless it found something; the
  // check's line, a line per table, the run's two notes (what the scripted
  // server does not say: its sessions, its room), then the two per-terminal
  // tables' rows lost by design.
  EXPECT_EQ(
      run.err.rfind("slotsync: checking 4 tables: rights, room, dependents\n[1/4] TableTag 10 ", 0),
      0u)
      << run.err;
  EXPECT_EQ(Lines(run.err).size(), 9u) << run.err;
  EXPECT_EQ(DriverEvents(), DriverLogOf(recordedLog));
}

INSTANTIATE_TEST_SUITE_P(WideDriver, Valgrind, ::testing::Values(DriverBuild::kWide), Name);

}  // namespace
}  // namespace slotsync::e2e

#endif  // !SLOTSYNC_E2E_SANITIZED
