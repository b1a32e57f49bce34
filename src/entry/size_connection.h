#pragma once

// SizeConnection: the one connection of a restructure run.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/secret.h"
#include "sql/connection.h"
#include "sql/sql_access.h"

namespace slotsync::entry {

// The four texts RefreshStruct receives, GBK bytes, in its argument order.
struct ConnectionArguments {
  std::string server;
  std::string database;
  std::string user;
  platform::SecretString password;  // wiped when the run's arguments go
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
  // in that order, each argument put in unchanged. Wiped when the settings
  // go, since one of them holds the password.
  std::vector<std::string> parameters;

  SizeConnectionSettings() = default;
  SizeConnectionSettings(const SizeConnectionSettings&) = default;
  SizeConnectionSettings(SizeConnectionSettings&&) = default;
  SizeConnectionSettings& operator=(const SizeConnectionSettings&) = default;
  SizeConnectionSettings& operator=(SizeConnectionSettings&&) = default;
  ~SizeConnectionSettings();

  // The value of one parameter ("SERVER NAME" etc.), empty when absent; a
  // view into the settings, so that the password is not copied out.
  std::string_view Parameter(std::string_view key) const;
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
