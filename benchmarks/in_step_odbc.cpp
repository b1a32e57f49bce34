// The in-step run through the real ODBC layer, against the scripted ODBC
// driver, beside the least a client can do for the same answer: connect,
// send the same three statements, read their rows, disconnect. The ratio of
// the two is the library's overhead on every start of a host application.

#include <sql.h>
#include <sqlext.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "entry/public_api.h"
#include "scenario.h"

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

}  // namespace
}  // namespace slotsync
