#pragma once

// The ODBC environment handle the library's connections share: ODBC wants
// one per process, set up for ODBC 3 behaviour before any connection.

#include <memory>
#include <string>
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

 private:
  OdbcEnvironment();
  void* handle_ = nullptr;
};

}  // namespace slotsync::sql
