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
#include <valgrind/callgrind.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entry/public_api.h"
#include "scenario.h"

extern char** environ;

namespace slotsync {
namespace {

const char* const kStatements[] = {
    "Select top 1 * From Size",
    "Select Count(*),b.SizeGroupID From SizeGroup a,SizeGroupSize b Where "
    "a.SizeGroupID=b.SizeGroupID Group by b.SizeGroupID",
    "Select Count(*) from sysColumns Where ID=Object_ID('StockDetailTemp') and Name like 'x_%%'",
};

// The scenario of an in-step database, and the driver chosen by path.
void PrepareDriver() {
  static const bool prepared = [] {
    const auto path = std::filesystem::temp_directory_path() / "slotsync-bench-scenario.txt";
    scripted_odbc::ScenarioWriter()
        .Rows(kStatements[0], {"SizeID"}, {{"1"}})
        .Rows(kStatements[1], {"", "SizeGroupID"}, {{"8", "1"}, {"12", "2"}, {"12", "3"}})
        .Rows(kStatements[2], {""}, {{"12"}})
        .Save(path.string());
    setenv("SCRIPTED_ODBC_SCENARIO", path.c_str(), 1);
    // Under the file name of Microsoft's Driver 18, as a real run's driver
    // would be: a driver of no known family would add a warning to each call.
    const auto driver =
        std::filesystem::temp_directory_path() / "slotsync-bench-libmsodbcsql-18.so";
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
bool MinimalClient(const std::u16string& connection) {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  bool ok = SQL_SUCCEEDED(SQLDriverConnectW(
      dbc, nullptr, reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(connection.c_str())), SQL_NTS,
      nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
  for (const char* text : kStatements) {
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
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return ok;
}

void BM_MinimalOdbcClient(benchmark::State& state) {
  PrepareDriver();
  const std::u16string connection = Wide(std::string("Driver={") + SLOTSYNC_SCRIPTED_DRIVER +
                                         "};Server={srv};Database={db};UID={sa};PWD={pw};"
                                         "APP={slotsync}");
  for (auto _ : state) {
    if (!MinimalClient(connection)) state.SkipWithError("the minimal client failed");
  }
}
BENCHMARK(BM_MinimalOdbcClient);

// CPU time on a shared machine varies by more than the few per cent that
// matter here; the instructions executed do not. Each client is counted in
// a process of its own under callgrind, over calls after the first (which
// loads the driver manager and the driver).
constexpr int kCountedCalls = 20;

std::u16string MinimalConnection() {
  return Wide(std::string("Driver={") + SLOTSYNC_SCRIPTED_DRIVER +
              "};Server={srv};Database={db};UID={sa};PWD={pw};APP={slotsync}");
}

int CountCalls(const std::string& client) {
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
  if (!call()) return 1;
  CALLGRIND_TOGGLE_COLLECT;
  for (int i = 0; i < kCountedCalls; ++i) {
    if (!call()) return 1;
  }
  CALLGRIND_TOGGLE_COLLECT;
  return 0;
}

std::string selfPath;

// The instructions callgrind counted for `client`'s calls, per call; 0
// when valgrind could not run.
double InstructionsPerCall(const std::string& client) {
  const auto out = std::filesystem::temp_directory_path() /
                   ("slotsync-callgrind-" + client + "-" + std::to_string(getpid()));
  std::vector<std::string> texts = {"valgrind",
                                    "--tool=callgrind",
                                    "--collect-atstart=no",
                                    "--callgrind-out-file=" + out.string(),
                                    selfPath,
                                    "--count-calls",
                                    client};
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
  return instructions / kCountedCalls;
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
  if (argc == 3 && std::strcmp(argv[1], "--count-calls") == 0) {
    return slotsync::CountCalls(argv[2]);
  }
  slotsync::selfPath = std::filesystem::canonical("/proc/self/exe").string();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
