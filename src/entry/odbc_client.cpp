#include "entry/public_api.h"
#include "entry/version.h"
#include "sql/odbc_connection.h"

namespace slotsync::entry {

ClientFactory OdbcClientFactory(ConnectionSecurity security) {
  return [security](const SizeConnectionSettings& settings) -> std::unique_ptr<sql::Connection> {
    sql::ConnectionSettings odbc;
    odbc.server = settings.Parameter("SERVER NAME");
    odbc.database = settings.Parameter("DATABASE NAME");
    odbc.user = settings.Parameter("USER NAME");
    odbc.password = platform::SecretString(settings.Parameter("PASSWORD"));
    odbc.encryption = security.encryption;
    odbc.trustServerCertificate = security.trustServerCertificate;
    odbc.encryptionRequested = security.requested;
    odbc.warn = security.warn;
    odbc.trustedConnection = security.trustedConnection;
    odbc.dataSource = security.dataSource;
    odbc.applicationName = std::string("slotsync ") + kVersion;
    return sql::MakeOdbcConnection(std::move(odbc));
  };
}

}  // namespace slotsync::entry
