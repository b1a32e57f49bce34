// The in-step run through the real ODBC layer, against the scripted ODBC
// driver, beside the least a client can do for the same answer: connect,
// send the same three statements, read their rows, disconnect. The ratio of
// the two is the library's overhead on every start of a host application,
// measured in CPU time and, steadier, in instructions counted by callgrind.
//
// Both connect as users set them up: the driver registered under its name
// in an odbcinst.ini (a private one, through ODBCSYSINI), named by that name
// in SLOTSYNC_ODBC_DRIVER, or not named at all so that the library picks
// its default.

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
#include <string>
#include <vector>

#include "entry/public_api.h"
#include "in_step_scenario.h"

extern char** environ;

namespace slotsync {
namespace {

// The name the driver is registered under, as Microsoft's package registers
// Driver 18: the first of the library's preferred drivers.
constexpr const char* kDriverName = "ODBC Driver 18 for SQL Server";
// Set once the registration and the scenario are in place: the processes
// counted under callgrind inherit them.
constexpr const char* kPreparedVariable = "SLOTSYNC_BENCH_ODBCSYSINI";

// An odbcinst.ini of the benchmark's own, as a machine with FreeTDS, SQLite
// and Microsoft's Driver 18 has it: the scripted driver under the file name
// of Driver 18's library, the others never loaded.
void PrepareDriver() {
  if (std::getenv(kPreparedVariable) != nullptr) return;
  const auto directory =
      std::filesystem::temp_directory_path() / ("slotsync-bench-odbc-" + std::to_string(getpid()));
  std::filesystem::create_directories(directory);
  const auto scenario = directory / "scenario.txt";
  SaveInStepScenario(scenario.string());
  const auto driver = directory / "libmsodbcsql-18.3.so.2.1";
  std::filesystem::remove(driver);
  std::filesystem::create_symlink(SLOTSYNC_SCRIPTED_DRIVER, driver);
  std::ofstream(directory / "odbcinst.ini")
      << "[FreeTDS]\nDescription=TDS driver (Sybase/MS SQL)\n"
         "Driver=libtdsodbc.so\nSetup=libtdsS.so\nCPTimeout=\nCPReuse=\n\n"
         "[SQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=libsqlite3odbc.so\n"
         "Setup=libsqlite3odbc.so\nUsageCount=1\n\n"
      << "[" << kDriverName << "]\nDescription=Microsoft ODBC Driver 18 for SQL Server\n"
      << "Driver=" << driver.string() << "\nUsageCount=1\n";
  setenv("ODBCSYSINI", directory.c_str(), 1);
  unsetenv("ODBCINSTINI");
  setenv("SCRIPTED_ODBC_SCENARIO", scenario.c_str(), 1);
  unsetenv("SCRIPTED_ODBC_LOG");
  setenv("SLOTSYNC_ODBC_DRIVER", kDriverName, 1);
  setenv(kPreparedVariable, directory.c_str(), 1);
}

void RemovePreparedDriver() {
  if (const char* directory = std::getenv(kPreparedVariable)) {
    std::filesystem::remove_all(directory);
  }
}

// How the library is told its driver: "name" by its registered name in
// SLOTSYNC_ODBC_DRIVER, "default" not at all.
void NameDriver(const std::string& naming) {
  if (naming == "default") {
    unsetenv("SLOTSYNC_ODBC_DRIVER");
  } else {
    setenv("SLOTSYNC_ODBC_DRIVER", kDriverName, 1);
  }
}

bool LibraryCall() {
  SlotsyncOptions options{};
  options.size = sizeof options;
  return entry::RefreshStructWith("srv", "db", "sa", "pw", &options, nullptr, nullptr) ==
         SLOTSYNC_IN_STEP;
}

void InStepRunThroughOdbc(benchmark::State& state, const std::string& naming) {
  PrepareDriver();
  NameDriver(naming);
  for (auto _ : state) {
    if (!LibraryCall()) state.SkipWithError(entry::LastError());
  }
  NameDriver("name");
}

void BM_InStepRunThroughOdbc(benchmark::State& state) {
  InStepRunThroughOdbc(state, "name");
}
// The CPU time of the whole process: the library connects on a thread of
// its own.
BENCHMARK(BM_InStepRunThroughOdbc)->MeasureProcessCPUTime();

void BM_InStepRunThroughOdbcDefaultDriver(benchmark::State& state) {
  InStepRunThroughOdbc(state, "default");
}
BENCHMARK(BM_InStepRunThroughOdbcDefaultDriver)->MeasureProcessCPUTime();

std::u16string Wide(std::string_view text) {
  return {text.begin(), text.end()};
}

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

// Connects, runs the three statements reading every value as text, and
// disconnects: what any client has to do.
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

// The same keywords the library sends for this driver, encryption included,
// through the same registered name.
std::u16string MinimalConnection() {
  return Wide(std::string("Driver={") + kDriverName +
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
BENCHMARK(BM_MinimalOdbcClient)->MeasureProcessCPUTime();

// CPU time on a shared machine varies by more than the few per cent that
// matter here; the instructions executed do not. Each client is counted in
// processes of their own under callgrind.
constexpr int kCountedCalls = 20;

// The process counted under callgrind: `calls` calls of `client` ("library"
// or "minimal"), the library told its driver as `naming` says.
int CountCalls(const std::string& client, const std::string& naming, int calls) {
  PrepareDriver();
  NameDriver(naming);
  const std::u16string connection = MinimalConnection();
  for (int i = 0; i < calls; ++i) {
    if (!(client == "library" ? LibraryCall() : MinimalClient(connection))) return 1;
  }
  return 0;
}

std::string selfPath;

// The instructions callgrind counted in a whole process, every thread
// included (the library connects on a thread of its own); 0 when valgrind
// could not run.
double InstructionsOf(const std::string& client, const std::string& naming, int calls) {
  const auto out = std::filesystem::temp_directory_path() /
                   ("slotsync-callgrind-" + client + "-" + std::to_string(getpid()));
  std::vector<std::string> texts = {
      "valgrind", "--tool=callgrind",   "--callgrind-out-file=" + out.string(),
      selfPath,   "--count-calls",      client,
      naming,     std::to_string(calls)};
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

struct CallCost {
  double first = 0;   // the first call of a process: the driver manager and the driver loaded
  double steady = 0;  // each call after it
};

// The first call is what a process of one call counts beyond one of none;
// the steady call, the difference between processes of one call and of
// many, divided by their number.
CallCost CostOf(const std::string& client, const std::string& naming) {
  const double none = InstructionsOf(client, naming, 0);
  const double one = InstructionsOf(client, naming, 1);
  const double many = InstructionsOf(client, naming, 1 + kCountedCalls);
  if (none == 0 || one == 0 || many == 0) return {};
  return {one - none, (many - one) / kCountedCalls};
}

double Ratio(double library, double minimal) {
  return minimal == 0 ? 0 : library / minimal;
}

void BM_InStepInstructionsAgainstMinimalClient(benchmark::State& state) {
  PrepareDriver();
  CallCost named, chosen, minimal;
  for (auto _ : state) {
    named = CostOf("library", "name");
    chosen = CostOf("library", "default");
    minimal = CostOf("minimal", "name");
    if (named.steady == 0 || chosen.steady == 0 || minimal.steady == 0) {
      state.SkipWithError("callgrind could not count");
    }
  }
  state.counters["minimal_Ir_per_call"] = minimal.steady;
  state.counters["minimal_Ir_first_call"] = minimal.first;
  state.counters["named_Ir_per_call"] = named.steady;
  state.counters["named_Ir_first_call"] = named.first;
  state.counters["named_ratio"] = Ratio(named.steady, minimal.steady);
  state.counters["named_first_ratio"] = Ratio(named.first, minimal.first);
  state.counters["default_Ir_per_call"] = chosen.steady;
  state.counters["default_Ir_first_call"] = chosen.first;
  state.counters["default_ratio"] = Ratio(chosen.steady, minimal.steady);
  state.counters["default_first_ratio"] = Ratio(chosen.first, minimal.first);
}
BENCHMARK(BM_InStepInstructionsAgainstMinimalClient)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace slotsync

int main(int argc, char** argv) {
  // Under callgrind, the process that counts one client's calls.
  if (argc == 5 && std::strcmp(argv[1], "--count-calls") == 0) {
    return slotsync::CountCalls(argv[2], argv[3], std::atoi(argv[4]));
  }
  slotsync::selfPath = std::filesystem::canonical("/proc/self/exe").string();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  slotsync::RemovePreparedDriver();
  return 0;
}
