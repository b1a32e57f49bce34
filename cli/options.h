#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secret.h"
#include "sql/connection_string.h"

namespace slotsync::cli {

// The command's arguments, kept in wiped buffers: one of them may be the
// password.
using Arguments = std::vector<platform::SecretString>;

struct CommandLine {
  bool help = false;
  bool version = false;
  std::string server, database, user;              // as typed, in the terminal's encoding
  std::optional<platform::SecretString> password;  // given with --password
  bool passwordStdin = false;
  bool emptyPassword = false;  // --empty-password: the login has none, and no source is read
  bool dryRun = false;
  bool trace = false;
  bool yes = false;
  bool quiet = false;
  std::optional<sql::Encryption> encrypt;  // --encrypt / -N; unset: mandatory, trusted
  bool trustServerCertificate = false;     // --trust-server-certificate / -C
  bool plan = false;                       // --plan: reads only, writes recorded
  bool json = false;                       // --json: the result as JSON on standard output
  std::optional<std::string> script;       // --script FILE, with --plan
  int lockTimeout = 30;                    // --lock-timeout SECONDS; 0 waits without end
  int retry = 0;                           // --retry N: tries again after a lock-out
  std::optional<std::string> logFile;      // --log FILE, in the terminal's encoding
  // Several databases (many_databases.h): -d with commas, a file of
  // targets, or every database of this application on the server.
  std::vector<std::string> databases;        // -d a,b: each name, commas undoubled
  std::optional<std::string> databasesFile;  // --databases FILE
  bool allDatabases = false;                 // --all-databases
  int jobs = 1;                              // -j / --jobs N: databases at once
  bool stopOnFailure = false;                // --stop-on-failure
  std::optional<std::string> language;       // --lang: "zh_CN" or "en"
  // sqlcmd's logins: -E, Windows authentication (no user, no password);
  // --dsn, a data source the administrator set up, which names the server.
  bool trustedConnection = false;
  std::optional<std::string> dataSource;
  bool online = false;                       // --online: copy while the shop works
  std::optional<int> cutoverTimeout;         // --cutover-timeout SECONDS, with --online
  bool cleanUp = false;                      // --clean-up, with --online
};

// Reads an environment variable: its value in the terminal's encoding, or
// null when it is not set.
using EnvironmentReader = std::function<const char*(const char*)>;

// Throws UsageError for anything it does not understand; no option is ever
// ignored. Long options take "--name value" and "--name=value"; the short
// ones of sqlcmd take "-S value" and "-Svalue".
// sqlcmd's variables SQLCMDSERVER, SQLCMDDBNAME and SQLCMDUSER, read with
// `environment` when given, stand in for -S, -d and -U left out (except
// where --dsn or -E takes their place), as they do for sqlcmd.
CommandLine ParseCommandLine(const Arguments& args, const EnvironmentReader& environment = {});

// Where the value of --password stands among the arguments (after the
// program's name): the argument's index, and where in it the value begins
// (11 in "--password=PW", 0 for the argument after "--password"). Found as
// ParseCommandLine reads the arguments - an option's value is never taken
// for an option - but without judging them, so that even a command line
// that will be refused has its password found. Every one, when given twice.
struct ArgumentPosition {
  std::size_t index = 0;
  std::size_t offset = 0;
  friend bool operator==(const ArgumentPosition&, const ArgumentPosition&) = default;
};
std::vector<ArgumentPosition> PasswordPositions(const std::vector<std::string_view>& args);

struct UsageError {
  std::string message;
};

}  // namespace slotsync::cli
