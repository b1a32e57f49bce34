// The in-step run through the real ODBC layer, against the scripted ODBC
// driver, beside the least a client can do for the same answer: connect,
// send the same three statements, read their rows, disconnect. The ratio of
// the two is the library's overhead on every start of a host application,
// measured in CPU time and, steadier, in instructions counted by callgrind.

#include <fcntl.h>
#include <spawn.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entry/public_api.h"
#include "in_step_scenario.h"

extern char** environ;

namespace slotsync {
namespace {


// The driver both clients load: the scripted driver under the file name of
// Microsoft's Driver 18, as a real run's driver would be (a driver of no
// known family would add a warning to each of the library's calls).
std::filesystem::path DriverPath() {
  return std::filesystem::temp_directory_path() / "slotsync-bench-libmsodbcsql-18.so";
}

// The scenario of an in-step database, and the driver chosen by path.
void PrepareDriver() {
  static const bool prepared = [] {
    const auto path = std::filesystem::temp_directory_path() / "slotsync-bench-scenario.txt";
    SaveInStepScenario(path.string());
    setenv("SCRIPTED_ODBC_SCENARIO", path.c_str(), 1);
    const auto driver = DriverPath();
    std::filesystem::remove(driver);
    std::filesystem::create_symlink(SLOTSYNC_SCRIPTED_DRIVER, driver);
    setenv("SLOTSYNC_ODBC_DRIVER", driver.c_str(), 1);
    unsetenv("SCRIPTED_ODBC_LOG");
    return true;
  }();
  benchmark::DoNotOptimize(prepared);
}

void BM_InStepRunThroughOdbc(benchmark::State& state) {
  PrepareDriver();
  SlotsyncOptions options{};
  options.size = sizeof options;
  for (auto _ : state) {
    const int outcome =
        entry::RefreshStructWith("srv", "db", "sa", "pw", &options, nullptr, nullptr);
    if (outcome != SLOTSYNC_IN_STEP) state.SkipWithError(entry::LastError());
  }
}
BENCHMARK(BM_InStepRunThroughOdbc);

std::u16string Wide(std::string_view text) {
  return {text.begin(), text.end()};
}

// Connects, runs the three statements reading every value as text, and
// disconnects: what any client has to do.
// The environment is made once per process, as the library makes its own.
SQLHENV MinimalEnvironment() {
  static const SQLHENV env = [] {
    SQLHENV made = SQL_NULL_HENV;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &made);
    SQLSetEnvAttr(made, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return made;
  }();
  return env;
}

bool MinimalClient(const std::u16string& connection) {
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLAllocHandle(SQL_HANDLE_DBC, MinimalEnvironment(), &dbc);
  bool ok = SQL_SUCCEEDED(SQLDriverConnectW(
      dbc, nullptr, reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(connection.c_str())), SQL_NTS,
      nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
  for (const char* text : kInStepStatements) {
    if (!ok) break;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    std::u16string wide = Wide(text);
    ok = SQL_SUCCEEDED(SQLExecDirectW(stmt, reinterpret_cast<SQLWCHAR*>(wide.data()), SQL_NTS));
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    while (ok && SQL_SUCCEEDED(SQLFetch(stmt))) {
      for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
        char16_t value[64];
        SQLLEN length = 0;
        SQLGetData(stmt, c, SQL_C_WCHAR, value, sizeof value, &length);
        benchmark::DoNotOptimize(value);
      }
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  }
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  return ok;
}

// The same keywords the library sends for this driver, encryption included.
std::u16string MinimalConnection() {
  return Wide(std::string("Driver={") + DriverPath().string() +
              "};Server={srv};Database={db};UID={sa};PWD={pw};APP={slotsync};Encrypt={yes};"
              "TrustServerCertificate={yes}");
}

void BM_MinimalOdbcClient(benchmark::State& state) {
  PrepareDriver();
  const std::u16string connection = MinimalConnection();
  for (auto _ : state) {
    if (!MinimalClient(connection)) state.SkipWithError("the minimal client failed");
  }
}
BENCHMARK(BM_MinimalOdbcClient);

// CPU time on a shared machine varies by more than the few per cent that
// matter here; the instructions executed do not. Each client is counted in
// processes of their own under callgrind.
constexpr int kCountedCalls = 20;


int CountCalls(const std::string& client, int calls) {
  PrepareDriver();
  SlotsyncOptions options{};
  options.size = sizeof options;
  const std::u16string connection = MinimalConnection();
  const auto call = [&] {
    return client == "library"
               ? entry::RefreshStructWith("srv", "db", "sa", "pw", &options, nullptr, nullptr) ==
                     SLOTSYNC_IN_STEP
               : MinimalClient(connection);
  };
  for (int i = 0; i < calls; ++i) {
    if (!call()) return 1;
  }
  return 0;
}

std::string selfPath;

// The instructions callgrind counted in a whole process of `client` making
// `calls` calls, every thread included (the library connects on a thread of
// its own); 0 when valgrind could not run.
double InstructionsOf(const std::string& client, int calls) {
  const auto out = std::filesystem::temp_directory_path() /
                   ("slotsync-callgrind-" + client + "-" + std::to_string(getpid()));
  std::vector<std::string> texts = {"valgrind",
                                    "--tool=callgrind",
                                    "--callgrind-out-file=" + out.string(),
                                    selfPath,
                                    "--count-calls",
                                    client,
                                    std::to_string(calls)};
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, "valgrind", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (failed != 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return 0;
  }
  std::ifstream file(out);
  std::string line;
  double instructions = 0;
  while (std::getline(file, line)) {
    if (line.starts_with("totals: ")) instructions = std::stod(line.substr(8));
  }
  std::filesystem::remove(out);
  return instructions;
}

// Per call after the first, which loads the driver manager and the driver:
// the difference between processes that make one call and many.
double InstructionsPerCall(const std::string& client) {
  const double one = InstructionsOf(client, 1);
  const double many = InstructionsOf(client, 1 + kCountedCalls);
  return one == 0 || many == 0 ? 0 : (many - one) / kCountedCalls;
}

void BM_InStepInstructionsAgainstMinimalClient(benchmark::State& state) {
  double library = 0, minimal = 0;
  for (auto _ : state) {
    library = InstructionsPerCall("library");
    minimal = InstructionsPerCall("minimal");
    if (library == 0 || minimal == 0) state.SkipWithError("callgrind could not count");
  }
  state.counters["library_Ir_per_call"] = library;
  state.counters["minimal_Ir_per_call"] = minimal;
  state.counters["ratio"] = minimal == 0 ? 0 : library / minimal;
}
BENCHMARK(BM_InStepInstructionsAgainstMinimalClient)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace slotsync

int main(int argc, char** argv) {
  // Under callgrind, the process that counts one client's calls.
  if (argc == 4 && std::strcmp(argv[1], "--count-calls") == 0) {
    return slotsync::CountCalls(argv[2], std::atoi(argv[3]));
  }
  slotsync::selfPath = std::filesystem::canonical("/proc/self/exe").string();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
