#include "sql/odbc_environment.h"

#include <algorithm>
#include <iterator>

#include "sql/odbc_api.h"
#include "text/case_fold.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::sql {

std::shared_ptr<OdbcEnvironment> OdbcEnvironment::Shared() {
  // A function-local static: C++ makes its first initialisation thread-safe,
  // and a failed one (it throws) is tried again by the next caller.
  static const std::shared_ptr<OdbcEnvironment> shared(new OdbcEnvironment());
  return shared;
}

OdbcEnvironment::OdbcEnvironment()
#ifdef _WIN32
    // Wine keeps the drivers of the unixODBC it hands calls to out of the
    // registry, and lists them with their Driver= attribute.
    : drivers_([this](std::string_view name) {
        std::string library = SystemDriverLibrary(name);
        return library.empty() ? ListedLibrary(name) : library;
      }) {
#else
    : drivers_(SystemDriverLibrary) {
#endif
  SQLHENV environment = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &environment))) {
    throw SqlError(
        text::Tr("Cannot set up ODBC: the driver manager refused an environment handle"));
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

#ifdef _WIN32
namespace {

// "Key=Value" pairs, each ended by a NUL (Windows) or a ";" (unixODBC), the
// list by a second NUL: the value of Driver.
std::string DriverAttribute(const SQLWCHAR* attributes, std::size_t capacity) {
  std::size_t at = 0;
  while (at < capacity && attributes[at] != 0) {
    std::size_t end = at;
    while (end < capacity && attributes[end] != 0) ++end;
    const std::string pairs = odbc::FromSqlBuffer(attributes + at, end - at, capacity - at);
    for (std::size_t start = 0; start < pairs.size();) {
      const std::size_t stop = std::min(pairs.find(';', start), pairs.size());
      const std::string_view pair = std::string_view(pairs).substr(start, stop - start);
      if (pair.size() > 7 && text::EqualsIgnoringAsciiCase(pair.substr(0, 7), "Driver=")) {
        return std::string(pair.substr(7));
      }
      start = stop + 1;
    }
    at = end + 1;
  }
  return {};
}

}  // namespace

std::string OdbcEnvironment::ListedLibrary(std::string_view name) const {
  std::vector<SQLWCHAR> attributes(8192);
  SQLWCHAR driver[512];
  SQLUSMALLINT direction = SQL_FETCH_FIRST;
  for (;;) {
    SQLSMALLINT nameLength = 0;
    SQLSMALLINT attributesLength = 0;
    std::fill(attributes.begin(), attributes.end(), SQLWCHAR{0});
    const SQLRETURN result =
        SQLDriversW(static_cast<SQLHENV>(handle_), direction, driver,
                    static_cast<SQLSMALLINT>(std::size(driver)), &nameLength, attributes.data(),
                    static_cast<SQLSMALLINT>(attributes.size() - 1), &attributesLength);
    if (!SQL_SUCCEEDED(result)) return {};
    direction = SQL_FETCH_NEXT;
    const std::string listed = odbc::FromSqlBuffer(
        driver, static_cast<std::size_t>(std::max<SQLSMALLINT>(nameLength, 0)), std::size(driver));
    if (text::EqualsIgnoringAsciiCase(listed, name)) {
      return DriverAttribute(attributes.data(), attributes.size() - 1);
    }
  }
}
#endif

std::string OdbcEnvironment::ChooseDriver(std::string_view named) {
  if (named.find_first_not_of(' ') != std::string_view::npos) return sql::ChooseDriver(named, {});
  if (std::string preferred = drivers_.FirstPreferred(); !preferred.empty()) return preferred;
  return sql::ChooseDriver({}, InstalledDrivers());
}

}  // namespace slotsync::sql
