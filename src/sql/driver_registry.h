#pragma once

// Which library the driver manager loads for a driver's name, and so which
// family of connection keywords the driver takes. Every connect asks, the
// in-step call on every start of a host among them, so each name is looked
// up once for the process: one attribute of one driver (odbcinst.ini with
// unixODBC, the registry on Windows), never the whole list of drivers.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sql/connection_string.h"

namespace slotsync::sql {

struct RegisteredDriver {
  std::string library;  // the library file; empty when the name has none registered
  DriverKind kind;      // judged from the library, never from the name
};

class DriverRegistry {
 public:
  // Asks the system for the library registered under a driver's name;
  // empty when there is none.
  using LookUp = std::function<std::string(std::string_view name)>;

  explicit DriverRegistry(LookUp lookUp) : lookUp_(std::move(lookUp)) {}

  // The driver a name stands for: a path is its own library, any other name
  // is looked up the first time it is asked for and remembered for the
  // life of the process, what it found or that it found nothing. Another
  // name is looked up on its own. Safe from several threads at once.
  RegisteredDriver Find(std::string_view name);

  // The first of kPreferredDrivers registered with a library, each name
  // looked up (and remembered) as Find does; empty when none is.
  std::string FirstPreferred();

 private:
  LookUp lookUp_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, RegisteredDriver>> known_;  // by name
};

// What the driver manager itself looks up for a name: the attribute
// Driver64, then Driver, of the name's section of odbcinst.ini (unixODBC on
// a 64-bit system reads Driver64 first), or the value Driver of
// HKLM\SOFTWARE\ODBC\ODBCINST.INI\<name> on Windows. Empty when neither is
// there.
std::string SystemDriverLibrary(std::string_view name);

// The driver a data source names, as the driver manager reads it: the
// attribute Driver of the source's section of odbc.ini (the user's, then the
// system's; unixODBC), or the value Driver of
// HKCU, then HKLM, \SOFTWARE\ODBC\ODBC.INI\<name> on Windows. A driver's
// name or its library's path; empty when no such data source is set up.
std::string SystemDataSourceDriver(std::string_view name);

}  // namespace slotsync::sql
