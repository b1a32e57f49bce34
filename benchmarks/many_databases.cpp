// The command over many databases: 40 in-step databases of the scripted
// driver, one at a time and four at once; wall time, the command's own
// peak memory (which must not grow with the number of databases: each
// database's run lives in a process of its own) and the largest peak of any
// process of the command.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "in_step_scenario.h"

extern char** environ;

namespace slotsync {
namespace {


// One scenario per database, and the environment that points the driver at them.
std::string PrepareDatabases(int count) {
  const auto directory = std::filesystem::temp_directory_path() / "slotsync-many-bench";
  std::filesystem::create_directories(directory);
  std::string list;
  for (int i = 1; i <= count; ++i) {
    const std::string name = "shop" + std::to_string(100 + i);
    SaveInStepScenario((directory / (name + ".txt")).string());
    list += (list.empty() ? "" : ",") + name;
  }
  setenv("SCRIPTED_ODBC_SCENARIO", (directory / "{database}.txt").c_str(), 1);
  setenv("SLOTSYNC_ODBC_DRIVER", SLOTSYNC_SCRIPTED_DRIVER, 1);
  setenv("SLOTSYNC_PASSWORD", "pw", 1);
  unsetenv("SCRIPTED_ODBC_LOG");
  return list;
}

// The peak resident set of a running process so far.
long PeakKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void BM_ManyDatabases(benchmark::State& state) {
  const std::string list = PrepareDatabases(static_cast<int>(state.range(0)));
  std::vector<std::string> texts = {
      "slotsync", "-S", "srv", "-d", list, "-U", "sa", "-j", std::to_string(state.range(1)),
      "--quiet"};
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  long commandPeak = 0, anyPeak = 0;
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, SLOTSYNC_COMMAND, &actions, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("the command could not be started");
      break;
    }
    // The high-water mark only grows; a zombie has none left, so the last
    // reading before the command ends is its peak.
    for (;;) {
      siginfo_t info{};
      waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
      if (info.si_pid == pid) break;
      commandPeak = std::max(commandPeak, PeakKilobytes(pid));
      usleep(2000);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    anyPeak = std::max(anyPeak, usage.ru_maxrss);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the command did not end with every database in step");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  state.counters["databases"] = static_cast<double>(state.range(0));
  state.counters["command_peak_kB"] = static_cast<double>(commandPeak);
  state.counters["largest_peak_kB"] = static_cast<double>(anyPeak);
}
BENCHMARK(BM_ManyDatabases)
    ->ArgNames({"databases", "jobs"})
    ->Args({10, 1})
    ->Args({40, 1})
    ->Args({40, 4})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace slotsync
