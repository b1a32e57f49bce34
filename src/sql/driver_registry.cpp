#include "sql/driver_registry.h"

#include "sql/odbc_api.h"

#ifndef _WIN32
#include <odbcinst.h>
#endif

#include <algorithm>
#include <array>

#include "text/gbk.h"

namespace slotsync::sql {
namespace {

// A driver named by the path of its library, as unixODBC and the tests allow.
bool IsPath(std::string_view name) {
  return name.find('/') != std::string_view::npos ||
         text::FindAsciiCharacter(name, '\\') != std::string_view::npos;
}

}  // namespace

RegisteredDriver DriverRegistry::Find(std::string_view name) {
  if (IsPath(name)) return {std::string(name), DriverKindOfLibrary(name)};
  const std::lock_guard lock(mutex_);
  const auto known = std::find_if(known_.begin(), known_.end(),
                                  [name](const auto& entry) { return entry.first == name; });
  if (known != known_.end()) return known->second;
  // Looked up under the lock: two threads asking for a new name at once
  // look it up once.
  std::string library = lookUp_(name);
  const DriverKind kind = DriverKindOfLibrary(library);
  return known_.emplace_back(name, RegisteredDriver{std::move(library), kind}).second;
}

std::string DriverRegistry::FirstPreferred() {
  for (const std::string_view preferred : kPreferredDrivers) {
    if (!Find(preferred).library.empty()) return std::string(preferred);
  }
  return {};
}

std::string SystemDriverLibrary(std::string_view name) {
#ifdef _WIN32
  // A 32-bit process sees the 32-bit drivers' key, as its driver manager
  // does.
  const std::u16string key = u"SOFTWARE\\ODBC\\ODBCINST.INI\\" + text::GbkToUtf16(name);
  wchar_t value[1024];
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(key.c_str()), L"Driver",
                   RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) {
    return {};
  }
  return text::Utf16ToGbk(
      std::u16string(reinterpret_cast<const char16_t*>(value), size / sizeof(wchar_t)).c_str());
#else
  // unixODBC reads odbcinst.ini in bytes; driver names are ASCII in
  // practice, and a GBK name is passed on as the bytes it is.
  const std::string section(name);
  std::array<char, 1024> value{};
  // unixODBC is built with PLATFORM64 where long has 64 bits, and then
  // loads the library of Driver64 when a driver has one.
  if constexpr (sizeof(long) == 8) {
    if (SQLGetPrivateProfileString(section.c_str(), "Driver64", "", value.data(),  // not a message
                                   static_cast<int>(value.size()), "ODBCINST.INI") > 0 &&
        value[0] != '\0') {
      return value.data();
    }
  }
  value[0] = '\0';
  if (SQLGetPrivateProfileString(section.c_str(), "Driver", "", value.data(),  // not a message
                                 static_cast<int>(value.size()), "ODBCINST.INI") <= 0) {
    return {};
  }
  return value.data();
#endif
}

std::string SystemDataSourceDriver(std::string_view name) {
#ifdef _WIN32
  const std::u16string key = u"SOFTWARE\\ODBC\\ODBC.INI\\" + text::GbkToUtf16(name);
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (RegGetValueW(root, reinterpret_cast<const wchar_t*>(key.c_str()), L"Driver", RRF_RT_REG_SZ,
                     nullptr, value, &size) == ERROR_SUCCESS) {
      return text::Utf16ToGbk(
          std::u16string(reinterpret_cast<const char16_t*>(value), size / sizeof(wchar_t)).c_str());
    }
  }
  return {};
#else
  // "ODBC.INI" asks unixODBC for the user's data sources, then the system's.
  const std::string section(name);
  std::array<char, 1024> value{};
  if (SQLGetPrivateProfileString(section.c_str(), "Driver", "", value.data(),  // not a message
                                 static_cast<int>(value.size()), "ODBC.INI") <= 0) {
    return {};
  }
  return value.data();
#endif
}

}  // namespace slotsync::sql
