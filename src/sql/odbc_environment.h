#pragma once

// The ODBC environment handle the library's connections share: ODBC wants
// one per process, set up for ODBC 3 behaviour before any connection.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/driver_registry.h"

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

  // The library the driver manager loads for a driver name, and its family
  // (DriverRegistry::Find): one look-up per name for the process.
  RegisteredDriver Driver(std::string_view name) { return drivers_.Find(name); }

  // The driver to connect with: `named` (SLOTSYNC_ODBC_DRIVER) when it is
  // not blank; else the first of kPreferredDrivers registered with a
  // library, a look-up for each name tried; only when none is, the first of
  // them the driver manager lists at all (ChooseDriver), which throws when
  // none is installed.
  std::string ChooseDriver(std::string_view named);

 private:
  OdbcEnvironment();
#ifdef _WIN32
  // The Driver= attribute SQLDriversW lists for a driver name; empty when it
  // lists none.
  std::string ListedLibrary(std::string_view name) const;
#endif

  void* handle_ = nullptr;
  DriverRegistry drivers_;
};

}  // namespace slotsync::sql
