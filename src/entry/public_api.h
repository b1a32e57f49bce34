#pragma once

// The exported functions' bodies, kept in the internal library so that tests
// reach them without loading the shared library.

#include <string>

#include "entry/restructure_run.h"
#include "slotsync/slotsync.h"
#include "sql/connection_string.h"

namespace slotsync::entry {

// The longest argument text accepted; longer ones are refused as bad
// arguments rather than handed on to the database client.
inline constexpr std::size_t kMaxArgumentBytes = 4096;

class AuditFile;

// Builds the dependencies of a real run from the caller's options (NULL for
// the defaults) and runs it; never throws. Records the last error. The
// client is ODBC unless a test gives its own. `auditFile`, when given, is
// the log opened already (the command's --log), written in place of the
// options' logFile.
int RefreshStructWith(const char* server, const char* database, const char* user,
                      const char* password, const SlotsyncOptions* options, SlotsyncResult* result,
                      const ClientFactory* makeClient = nullptr, AuditFile* auditFile = nullptr);

// What the caller asked of the connection's encryption.
struct ConnectionSecurity {
  sql::Encryption encryption = sql::Encryption::kMandatory;
  bool trustServerCertificate = true;
  bool requested = false;  // asked for, not the default
  // How the login is made, which also decides what may cross the network:
  // Windows authentication sends no password, a data source names the
  // driver and the server.
  bool trustedConnection = false;
  std::string dataSource = {};
  // Hears the client's warnings about the connection's security.
  std::function<void(const std::string&)> warn = {};
};

// The client that real runs use: ODBC, introducing itself as this library.
ClientFactory OdbcClientFactory(ConnectionSecurity security = {});

const char* LastError();

// The last run on this thread as RunJson gives it (entry/run_json.h), as
// JSON text; and the exit code the command gives it.
const std::string& LastRunJson();
int LastExitCode();
// The last run on this thread was locked out as a deadlock victim (rather
// than by a lock wait that ran out).
bool LastRunWasDeadlockVictim();

}  // namespace slotsync::entry
