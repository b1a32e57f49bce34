#pragma once

// What the ODBC client settles before it calls a driver: which driver to use
// and the connection string to hand it. No ODBC calls here, so all of it can
// be tested without a driver or a server.

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secret.h"
#include "sql/sql_error.h"

namespace slotsync::sql {

// How much the connection insists on TLS, in the words of sqlcmd's -N.
enum class Encryption {
  kStrict,     // TLS before anything else is sent, certificate always checked
  kMandatory,  // encrypted after the pre-login exchange; fails if the server cannot
  kOptional,   // encrypted only when the server insists: the login may travel in clear
};

// Where and as whom to connect. Texts are GBK bytes, as everywhere in the
// library.
struct ConnectionSettings {
  std::string server;  // "host", "host\instance" or "host,port"
  std::string database;
  std::string user;
  platform::SecretString password;  // wiped once the connection is made
  std::string driver;               // an ODBC driver name; empty: ChooseDriver picks one
  Encryption encryption = Encryption::kMandatory;
  // Accept the server's certificate without checking who signed it and for
  // which host; still encrypted. The self-signed certificate SQL Server
  // makes for itself passes only this way.
  bool trustServerCertificate = true;
  std::string applicationName = {};  // sent as APP so the session can be told apart
  // Seconds the driver is given to log in (SQL_ATTR_LOGIN_TIMEOUT and
  // SQL_ATTR_CONNECTION_TIMEOUT); a few more, and the connect is abandoned
  // even when the driver ignores both.
  int loginTimeoutSeconds = 15;
  // The level was asked for (-N, SlotsyncOptions.encrypt), not the default:
  // a driver that cannot be told to encrypt is then refused, not warned of.
  bool encryptionRequested = false;
  // Hears what the client says about the connection's security before it
  // connects (a driver it cannot ask to encrypt); not set: not said.
  std::function<void(const std::string&)> warn = {};
  // A data source the administrator has set up (odbc.ini, the ODBC Data
  // Source Administrator): it names the driver and the server, so neither
  // `driver` nor `server` is sent with it.
  std::string dataSource = {};
  // Windows authentication (Kerberos on Linux): the login is the user the
  // process runs as, so no user name or password is sent.
  bool trustedConnection = false;
};

// The families of ODBC drivers whose connection keywords are known here.
enum class DriverFamily { kMicrosoft, kFreeTds, kOther };

struct DriverKind {
  DriverFamily family = DriverFamily::kOther;
  int version = 0;  // N of "ODBC Driver N for SQL Server"; 0 for the older Microsoft drivers
};

// What a driver is, judged from its library file (the Driver= path the driver
// manager has for its name, or a path given as the driver): libtdsodbc.so or
// tdsodbc.dll is FreeTDS; libmsodbcsql-18.3.so, msodbcsql18.dll are
// Microsoft's ODBC Driver 18, sqlncli11.dll and sqlsrv32.dll its older
// drivers. Anything else is kOther, whatever name it was registered under.
DriverKind DriverKindOfLibrary(std::string_view library);

// What a driver's registered name suggests. Anyone who can edit odbcinst.ini
// chooses the name, so a connection judges the library instead; the name
// serves where no library is known.
DriverKind DriverKindOfName(std::string_view name);

// Before the connect: throws SqlError when the encryption asked for cannot
// be had from a driver of this kind (strict or mandatory asked of a driver
// whose keywords are unknown; strict of FreeTDS or of Microsoft's drivers
// before 18; a certificate check of FreeTDS, which reads no freetds.conf,
// and so no "ca file", for a server named as the connection string names
// it), and returns a warning when the connection may end up unencrypted (the
// default mode with a driver of no known family, optional with FreeTDS);
// empty text otherwise.
std::string CheckEncryptionCanBeHad(const ConnectionSettings& settings, DriverKind kind,
                                    std::string_view driverName, std::string_view library);

// Names the driver to use when the settings name none, for machines whose
// SQL Server driver is installed under a name not in kPreferredDrivers.
inline constexpr const char* kDriverVariable = "SLOTSYNC_ODBC_DRIVER";

// The drivers looked for when the settings name none, best first: the
// current Microsoft drivers, FreeTDS (where the Microsoft ones are not
// available), and the driver every Windows installation ships.
inline constexpr std::array<std::string_view, 4> kPreferredDrivers = {
    "ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server", "FreeTDS", "SQL Server"};

// The driver to use when the settings name none: `fromEnvironment` (the
// value of SLOTSYNC_ODBC_DRIVER) when it is not empty, else the first of
// kPreferredDrivers among `installed`, compared without regard to ASCII
// case. Throws SqlError naming the drivers looked for when none is there.
std::string ChooseDriver(std::string_view fromEnvironment,
                         const std::vector<std::string>& installed);

// The value of SLOTSYNC_ODBC_DRIVER as GBK text; empty when it is not set.
std::string DriverFromEnvironment();

// The connection string for SQLDriverConnectW, as GBK text. Every value the
// settings bring is quoted so that it cannot end its attribute early and add
// another, whatever it holds; the Server value is adapted to the forms the
// driver understands. Attributes with empty values are left out, so the
// driver's default applies. Throws SqlError for a value that the driver
// cannot be given safely (see connection_string.cpp).
// The driver's kind is judged from `driverName` (DriverKindOfName) unless
// given.
std::string BuildConnectionString(const ConnectionSettings& settings, std::string_view driverName);
// The same as UTF-16 in a buffer wiped when it goes: the one to hand the
// driver, since it holds the password.
platform::SecretU16String BuildWideConnectionString(const ConnectionSettings& settings,
                                                    std::string_view driverName);
platform::SecretU16String BuildWideConnectionString(const ConnectionSettings& settings,
                                                    std::string_view driverName, DriverKind kind);

// GBK text as UTF-16 in a wiped buffer, leaving no copy of its own behind.
platform::SecretU16String SecretUtf16(std::string_view gbk);

// A hint to add to a failed connect's message when it looks like the server
// could not encrypt or its certificate did not pass; empty otherwise.
std::string EncryptionHint(const ConnectionSettings& settings, std::string_view message);

// The connection string with the value of every PWD (or Password) attribute
// replaced by "***", for messages and logs: a password is never printed.
std::string MaskPassword(std::string_view connectionString);
std::string MaskPassword(std::u16string_view connectionString);

// Any text about to be stored or shown (a diagnostic, a message, a log
// line), GBK, with every occurrence of `password` and the value of every
// "PWD=" or "Password=" in it replaced by "***": a driver may echo its whole
// connection string in a diagnostic. An empty password is not looked for,
// and one shorter than four characters only where it stands as a word of
// its own.
std::string ScrubSecrets(std::string_view text, std::string_view password);
void ScrubSecrets(std::vector<Diagnostic>& diagnostics, std::string_view password);

}  // namespace slotsync::sql
