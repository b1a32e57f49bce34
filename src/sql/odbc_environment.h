#pragma once

// The ODBC environment handle the library's connections share: ODBC wants
// one per process, set up for ODBC 3 behaviour before any connection.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace slotsync::sql {

class OdbcEnvironment {
 public:
  // The one environment, made on first use (safe when threads race for it)
  // and released when the library unloads - or, should a connection outlive
  // that, when the last connection holding it goes.
  static std::shared_ptr<OdbcEnvironment> Shared();

  ~OdbcEnvironment();
  OdbcEnvironment(const OdbcEnvironment&) = delete;
  OdbcEnvironment& operator=(const OdbcEnvironment&) = delete;

  void* Handle() const { return handle_; }  // the SQLHENV

  // The names of the installed drivers as the driver manager lists them
  // (SQLDriversW), as GBK text.
  std::vector<std::string> InstalledDrivers() const;

  // The library the driver manager loads for a driver name: the Driver=
  // attribute SQLDriversW lists for it (odbcinst.ini with unixODBC, the
  // registry on Windows), or the name itself when it is a path. Empty when
  // neither gives one.
  std::string DriverLibrary(std::string_view name) const;

 private:
  OdbcEnvironment();
  void* handle_ = nullptr;
};

}  // namespace slotsync::sql
