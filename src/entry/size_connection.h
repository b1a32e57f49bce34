#pragma once

// SizeConnection: the one connection of a restructure run.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sql/connection.h"
#include "sql/sql_access.h"

namespace slotsync::entry {

// The four texts RefreshStruct receives, GBK bytes, in its argument order.
struct ConnectionArguments {
  std::string server;
  std::string database;
  std::string user;
  std::string password;
};

// The settings of the run's connection object, as the host application's
// database layer describes it.
struct SizeConnectionSettings {
  std::string name{sql::kSizeConnectionName};
  std::string driverName = "MSSQL";
  bool loginPrompt = false;    // the user and password come from the parameters
  bool keepConnection = true;  // stays open across statements until released
  bool readCommitted = true;   // transaction isolation
  // "DATABASE NAME=%s", "SERVER NAME=%s", "USER NAME=%s", "PASSWORD=%s",
  // in that order, each argument put in unchanged.
  std::vector<std::string> parameters;

  // The value of one parameter ("SERVER NAME" etc.), empty when absent.
  std::string Parameter(std::string_view key) const;
};

// Builds the database client (ODBC for real runs) from the settings.
using ClientFactory =
    std::function<std::unique_ptr<sql::Connection>(const SizeConnectionSettings&)>;

SizeConnectionSettings SizeConnectionSettingsFor(const ConnectionArguments& arguments);

// A new, unconnected connection named SizeTessera; it connects on its first
// statement.
std::unique_ptr<sql::SqlConnection> CreateSizeConnection(const ConnectionArguments& arguments,
                                                         const ClientFactory& makeClient);

}  // namespace slotsync::entry
