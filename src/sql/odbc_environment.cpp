#include "sql/odbc_environment.h"

#include <algorithm>
#include <iterator>

#include "sql/odbc_api.h"

namespace slotsync::sql {

std::shared_ptr<OdbcEnvironment> OdbcEnvironment::Shared() {
  // A function-local static: C++ makes its first initialisation thread-safe,
  // and a failed one (it throws) is tried again by the next caller.
  static const std::shared_ptr<OdbcEnvironment> shared(new OdbcEnvironment());
  return shared;
}

OdbcEnvironment::OdbcEnvironment() {
  SQLHENV environment = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) {
    throw SqlError("Cannot set up ODBC: the driver manager refused an environment handle");
  }
  const SQLRETURN result =
      SQLSetEnvAttr(environment, SQL_ATTR_ODBC_VERSION, odbc::IntegerAttribute(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(result)) {
    auto diagnostics = odbc::ReadDiagnostics(SQL_HANDLE_ENV, environment, "SQLSetEnvAttr");
    SQLFreeHandle(SQL_HANDLE_ENV, environment);
    throw SqlError(std::move(diagnostics));
  }
  handle_ = environment;
}

OdbcEnvironment::~OdbcEnvironment() {
  // Runs among the static destructors at unload (or with the last
  // connection that outlived them); every connection handle made from it is
  // gone by then, so freeing it cannot fail for their sake.
  SQLFreeHandle(SQL_HANDLE_ENV, static_cast<SQLHENV>(handle_));
}

std::vector<std::string> OdbcEnvironment::InstalledDrivers() const {
  std::vector<std::string> names;
  // Driver names are short; the attributes are not wanted, and a truncated
  // attribute list only makes the call report SQL_SUCCESS_WITH_INFO.
  SQLWCHAR name[512];
  SQLWCHAR attributes[2];
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    const SQLRETURN result =
        SQLDriversW(static_cast<SQLHENV>(handle_), direction, name,
                    static_cast<SQLSMALLINT>(std::size(name)), &nameLength, attributes,
                    static_cast<SQLSMALLINT>(std::size(attributes)), &attributesLength);
    if (result == SQL_NO_DATA) break;
    odbc::Check(result, SQL_HANDLE_ENV, handle_, "SQLDriversW");
    names.push_back(
        odbc::FromSqlBuffer(name, static_cast<std::size_t>(nameLength), std::size(name)));
    direction = SQL_FETCH_NEXT;
  }
  return names;
}

}  // namespace slotsync::sql
