#include "entry/public_api.h"
#include "sql/odbc_connection.h"

namespace slotsync::entry {

ClientFactory OdbcClientFactory() {
  return [](const SizeConnectionSettings& settings) -> std::unique_ptr<sql::Connection> {
    sql::ConnectionSettings odbc;
    odbc.server = settings.Parameter("SERVER NAME");
    odbc.database = settings.Parameter("DATABASE NAME");
    odbc.user = settings.Parameter("USER NAME");
    odbc.password = settings.Parameter("PASSWORD");
    return sql::MakeOdbcConnection(std::move(odbc));
  };
}

}  // namespace slotsync::entry
