// live_sql: a small sqlcmd for the live SQL Server suite (scripts/test-live.sh).
// It connects the way slotsync does - the same ODBC client, the same choice
// of driver (SLOTSYNC_ODBC_DRIVER, or the best SQL Server driver installed),
// the same connection string - so that the suite needs nothing beyond what
// slotsync itself needs, and no Microsoft tools.
//
// Usage: live_sql --server S --database D --user U [--keep-going]
//                 (password in SLOTSYNC_PASSWORD)
//        live_sql --drivers   (the installed ODBC drivers, one a line)
// Reads batches from standard input, each ended by a line "GO" (or the end
// of the input), runs them one by one with autocommit, and prints the rows
// of every batch that returns some: one line a row, values separated by a
// tab, NULL as "NULL". The first failing batch ends the program with exit
// code 1 and the server's message on standard error; with --keep-going the
// message is printed and the next batch runs, as a query window outside
// SQLCMD mode does, and the exit code is 1 when any batch failed. Texts are
// UTF-8 on both sides.

#include <clocale>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "sql/odbc_connection.h"
#include "sql/odbc_environment.h"
#include "sql/sql_error.h"
#include "text/gbk.h"

namespace {

int Usage() {
  std::cerr << "usage: live_sql --server S --database D --user U  (password in "
               "SLOTSYNC_PASSWORD; batches on standard input, ended by GO)\n"
               "       live_sql --drivers\n";
  return 64;
}

bool IsGo(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line == "GO" || line == "go" || line == "Go";
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  // The suite runs once per SQL Server driver; it learns which are there
  // from the driver manager, as slotsync does when it picks one.
  if (argc == 2 && std::string(argv[1]) == "--drivers") {
    try {
      for (const std::string& name : slotsync::sql::OdbcEnvironment::Shared()->InstalledDrivers()) {
        std::cout << slotsync::text::GbkToUtf8(name) << '\n';
      }
    } catch (const std::exception& e) {
      std::cerr << "live_sql: " << slotsync::text::GbkToUtf8(e.what()) << '\n';
      return 1;
    }
    return 0;
  }
  slotsync::sql::ConnectionSettings settings;
  const bool keepGoing = argc == 8 && std::string(argv[7]) == "--keep-going";
  if (keepGoing) --argc;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--server") {
      settings.server = slotsync::text::Utf8ToGbk(argv[i + 1]);
    } else if (option == "--database") {
      settings.database = slotsync::text::Utf8ToGbk(argv[i + 1]);
    } else if (option == "--user") {
      settings.user = slotsync::text::Utf8ToGbk(argv[i + 1]);
    } else {
      return Usage();
    }
  }
  const char* password = std::getenv("SLOTSYNC_PASSWORD");
  if (argc != 7 || password == nullptr) return Usage();
  settings.password = slotsync::text::Utf8ToGbk(password);

  std::vector<std::string> batches(1);
  for (std::string line; std::getline(std::cin, line);) {
    if (IsGo(line)) {
      batches.emplace_back();
    } else {
      batches.back() += line + "\n";
    }
  }

  try {
    slotsync::sql::OdbcConnection connection(settings);
    connection.Connect();
    bool failed = false;
    for (const std::string& batch : batches) {
      if (batch.find_first_not_of(" \t\r\n") == std::string::npos) continue;
      slotsync::sql::ResultSet result;
      try {
        result = connection.Query(slotsync::text::Utf8ToGbk(batch));
      } catch (const slotsync::sql::SqlError& e) {
        if (!keepGoing || e.ConnectionLost()) throw;
        std::cerr << "live_sql: " << slotsync::text::GbkToUtf8(e.what()) << '\n';
        failed = true;
        continue;
      }
      for (const auto& row : result.rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
          if (i > 0) std::cout << '\t';
          std::cout << (row[i] ? slotsync::text::GbkToUtf8(*row[i]) : std::string("NULL"));
        }
        std::cout << '\n';
      }
    }
    connection.Disconnect();
    if (failed) return 1;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "live_sql: " << slotsync::text::GbkToUtf8(e.what()) << '\n';
    return 1;
  }
  return 0;
}
