#include "sql/connection_string.h"

#include "platform/win32_api.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "sql/sql_error.h"
#include "text/case_fold.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::sql {
namespace {

// The connection string is put together as UTF-16, the text the driver will
// read: deciding where a "}" or ";" stands on the GBK bytes could go wrong,
// because GBK trail bytes include the values of "{", "}" and "\", and a
// broken GBK pair decodes its trail byte as that ASCII character.

char16_t AsciiLower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool ContainsIgnoringCase(std::u16string_view text, std::u16string_view part) {
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (EqualsIgnoringCase(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsDigits(std::u16string_view text) {
  if (text.empty()) return false;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
  }
  return true;
}

DriverKind KindOfName(std::u16string_view name) {
  name = Trim(name);
  // "tdsodbc" catches a driver named by the path of its library.
  if (ContainsIgnoringCase(name, u"freetds") || ContainsIgnoringCase(name, u"tdsodbc")) {
    return {DriverFamily::kFreeTds, 0};
  }
  if (EqualsIgnoringCase(name, u"SQL Server") ||
      StartsWithIgnoringCase(name, u"SQL Server Native Client") ||
      StartsWithIgnoringCase(name, u"SQL Native Client")) {
    return {DriverFamily::kMicrosoft, 0};
  }
  constexpr std::u16string_view kPrefix = u"ODBC Driver ";
  constexpr std::u16string_view kSuffix = u" for SQL Server";
  if (name.size() > kPrefix.size() + kSuffix.size() && StartsWithIgnoringCase(name, kPrefix) &&
      EqualsIgnoringCase(name.substr(name.size() - kSuffix.size()), kSuffix)) {
    const auto number = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    if (IsDigits(number) && number.size() <= 4) {
      int version = 0;
      for (const char16_t c : number) version = version * 10 + (c - u'0');
      return {DriverFamily::kMicrosoft, version};
    }
  }
  return {DriverFamily::kOther, 0};
}

// The connection string holds the password: it is built in a buffer that
// is wiped when it goes, values are appended to it straight from where they
// are, never through a temporary of their own.
using WideText = platform::SecretU16String::Text;

// The quoting of the ODBC connection string grammar: the value in braces,
// with every "}" doubled, so nothing in it can end the value.
void AppendBraced(WideText& out, std::u16string_view value) {
  out.push_back(u'{');
  for (;;) {
    const std::size_t brace = value.find(u'}');
    if (brace == std::u16string_view::npos) break;
    out.append(value.substr(0, brace + 1)).push_back(u'}');
    value.remove_prefix(brace + 1);
  }
  out.append(value).push_back(u'}');
}

// A value that every parser reads unchanged without braces: up to the next
// ";", not starting with "{", and with no blank at either end that a driver
// might trim.
bool ReadsSameBare(std::u16string_view value) {
  return value.find(u';') == std::u16string_view::npos && !value.empty() && value.front() != u'{' &&
         !IsBlank(value.front()) && !IsBlank(value.back());
}

// Translated where it is said.
const char* Describe(std::u16string_view key) {
  if (key == u"PWD") return N_("password");
  if (key == u"UID") return N_("user name");
  if (key == u"Database") return N_("database name");
  return N_("server name");
}

// FreeTDS changed how it reads braces in 1.4. Up to 1.3 (what Debian 12 and
// Ubuntu 24.04 still ship) a braced value runs to the first "};" and a
// doubled "}}" stays doubled; 1.4 follows the standard quoting. Without a
// "}" a braced value reads the same in both. A value with a "}" that reads
// the same bare goes bare. Any other value with a "}" gets the standard
// quoting: right for 1.4, a wrong (refused) login for 1.3, but never an
// extra attribute - except a value holding "};", which 1.3 would cut there
// and read the rest of as attributes of its own; that one is refused.
void AppendFreeTdsValue(WideText& out, std::u16string_view key, std::u16string_view value) {
  if (value.find(u'}') == std::u16string_view::npos) return AppendBraced(out, value);
  if (ReadsSameBare(value)) {
    out.append(value);
    return;
  }
  if (value.find(u"};") != std::u16string_view::npos) {
    throw SqlError(text::TrFormat(
        // TRANSLATORS: %s is the server name, the database name, the user name or the password.
        "The %s holds \"};\", which the FreeTDS driver before version "
        "1.4 cannot be given safely; change it or use another driver",
        text::Tr(Describe(key))));
  }
  AppendBraced(out, value);
}

// Drivers other than the SQL Server ones do not all understand braces
// (SQLite's keeps them as part of the value), so a value goes bare where it
// reads the same that way, and in standard braces only where it must.
void AppendOtherValue(WideText& out, std::u16string_view value) {
  if (ReadsSameBare(value)) {
    out.append(value);
  } else {
    AppendBraced(out, value);
  }
}

class Builder {
 public:
  // Room for a usual connection string from the start: one that outgrows
  // its buffer is copied to a larger one and the old one wiped, several
  // times over on the way.
  explicit Builder(DriverKind kind) : kind_(kind) { out_.Edit().reserve(kUsualLength); }

  // Every attribute ends in ";", the last one too: FreeTDS up to 1.3 reads
  // a braced value that ends the string together with its closing brace.
  void Add(std::u16string_view key, std::u16string_view value) {
    if (value.empty()) return;
    WideText& out = out_.Edit();
    out.append(key);
    out.push_back(u'=');
    switch (kind_.family) {
      case DriverFamily::kMicrosoft:
        AppendBraced(out, value);
        break;
      case DriverFamily::kFreeTds:
        AppendFreeTdsValue(out, key, value);
        break;
      case DriverFamily::kOther:
        AppendOtherValue(out, value);
        break;
    }
    out.push_back(u';');
  }

  // The driver manager reads Driver, whatever the driver; it takes the
  // standard quoting.
  void AddDriver(std::u16string_view driver) {
    out_.Edit().append(u"Driver=");
    AppendBraced(out_.Edit(), driver);
    out_.Edit().push_back(u';');
  }

  // DSN= is read by the driver manager, which takes a braced value as
  // Driver='s, whatever the driver's family.
  void AddDataSource(std::u16string_view name) {
    out_.Edit().append(u"DSN=");
    AppendBraced(out_.Edit(), name);
    out_.Edit().push_back(u';');
  }

  // An attribute whose value is already in its final form.
  void AddFixed(std::u16string_view attribute) {
    out_.Edit().append(attribute);
    out_.Edit().push_back(u';');
  }

  platform::SecretU16String Take() { return std::move(out_); }

 private:
  static constexpr std::size_t kUsualLength = 255;
  DriverKind kind_;
  platform::SecretU16String out_;
};

struct FreeTdsServer {
  std::u16string host;  // with "\instance" when one is named
  std::u16string port;
};

// FreeTDS takes "host" and, for a named SQL Server instance, "host\instance"
// in Server (its user guide, chapter "Connection attributes"; it has no
// Instance attribute of its own), and a port only in Port.
FreeTdsServer SplitForFreeTds(std::u16string_view server) {
  server = Trim(server);
  std::u16string_view host = server;
  std::u16string_view port;
  if (const auto comma = server.rfind(u','); comma != std::u16string_view::npos) {
    host = Trim(server.substr(0, comma));
    port = Trim(server.substr(comma + 1));
    if (!IsDigits(port)) {
      throw SqlError(text::TrFormat("The server name '%s' has no port number after the comma",
                                    text::Utf16ToGbk(server)));
    }
  }
  std::u16string_view name = host;
  std::u16string_view instance;
  if (const auto slash = host.find(u'\\'); slash != std::u16string_view::npos) {
    name = host.substr(0, slash);
    instance = host.substr(slash);
  }
  // FreeTDS connects to a port or looks an instance up, not both. With both
  // given, Microsoft's drivers use the port, and so does this.
  if (!port.empty()) instance = {};
  // "." and "(local)" are the Windows names for this machine, which FreeTDS
  // does not know.
  if (name == u"." || EqualsIgnoringCase(name, u"(local)")) name = u"localhost";
  return {std::u16string(name) + std::u16string(instance), std::u16string(port)};
}

// `why` is translated already.
std::string StrictRefused(std::u16string_view driver, const std::string& why) {
  return text::TrFormat(
      // TRANSLATORS: %s is the driver's name, then why strict mode cannot be had with it.
      "Strict encryption cannot be had with the driver \"%s\": %s; ask for mandatory encryption "
      "instead (--encrypt mandatory)",
      text::Utf16ToGbk(driver), why);
}

// Encrypt takes yes/no from Driver 17 and the older drivers, and "strict"
// (TDS 8.0: TLS before the pre-login packet, certificate and host name always
// checked, TrustServerCertificate ignored) from Driver 18 on.
void AddMicrosoftEncryption(Builder& builder, DriverKind kind, std::u16string_view driver,
                            const ConnectionSettings& settings) {
  switch (settings.encryption) {
    case Encryption::kStrict:
      if (kind.version < 18) {
        throw SqlError(
            StrictRefused(driver, text::Tr("strict mode needs ODBC Driver 18 for SQL Server")));
      }
      builder.AddFixed(u"Encrypt=strict");
      return;
    case Encryption::kMandatory:
      builder.AddFixed(u"Encrypt=yes");
      break;
    case Encryption::kOptional:
      builder.AddFixed(u"Encrypt=no");
      break;
  }
  // Said either way: Driver 18 checks by default, the older ones do not.
  builder.AddFixed(settings.trustServerCertificate ? u"TrustServerCertificate=yes"
                                                   : u"TrustServerCertificate=no");
}

// FreeTDS up to 1.3 knows off, request and require. It checks a certificate
// only against the "ca file" of freetds.conf, which no connection attribute
// can set, so it cannot promise the checks of strict mode.
void AddFreeTdsEncryption(Builder& builder, std::u16string_view driver,
                          const ConnectionSettings& settings) {
  switch (settings.encryption) {
    case Encryption::kStrict:
      throw SqlError(StrictRefused(
          driver,
          text::Tr("FreeTDS checks certificates only as its freetds.conf says (\"ca file\")")));
    case Encryption::kMandatory:
      builder.AddFixed(u"Encryption=require");
      return;
    case Encryption::kOptional:
      builder.AddFixed(u"Encryption=request");
      return;
  }
}

// Other drivers' keywords are unknown here; they keep their own defaults.
void AddEncryption(Builder& builder, DriverKind kind, std::u16string_view driver,
                   const ConnectionSettings& settings) {
  if (kind.family == DriverFamily::kMicrosoft)
    AddMicrosoftEncryption(builder, kind, driver, settings);
  if (kind.family == DriverFamily::kFreeTds) AddFreeTdsEncryption(builder, driver, settings);
}

void AddServer(Builder& builder, DriverKind kind, std::u16string_view server) {
  if (kind.family == DriverFamily::kFreeTds && !Trim(server).empty()) {
    const FreeTdsServer split = SplitForFreeTds(server);
    builder.Add(u"Server", split.host);
    builder.Add(u"Port", split.port);
  } else {
    // Microsoft's drivers take all three forms as they are.
    builder.Add(u"Server", server);
  }
}

// Windows authentication in the keyword both families take: Microsoft's
// drivers log in as the Windows user (on Linux and macOS with the Kerberos
// ticket of the process, GSSAPI); FreeTDS with SSPI on Windows and, where it
// is built with Kerberos (Debian's is), GSSAPI elsewhere. Other drivers'
// keywords are not known here: one that took no such keyword would log in
// with an empty login instead.
void AddTrustedConnection(Builder& builder, DriverKind kind, std::u16string_view driver) {
  if (kind.family == DriverFamily::kOther) {
    throw SqlError(text::TrFormat(
        // TRANSLATORS: %s is the name of an ODBC driver.
        "Windows authentication (-E) cannot be asked of the ODBC driver \"%s\": its keyword "
        "for it is not known here (Microsoft's ODBC Driver for SQL Server, its older drivers "
        "and FreeTDS take Trusted_Connection); log in with -U, or name such a driver in %s",
        text::Utf16ToGbk(driver), kDriverVariable));
  }
  builder.AddFixed(u"Trusted_Connection=yes");
}

}  // namespace

std::string ChooseDriver(std::string_view fromEnvironment,
                         const std::vector<std::string>& installed) {
  while (!fromEnvironment.empty() && fromEnvironment.front() == ' ')
    fromEnvironment.remove_prefix(1);
  while (!fromEnvironment.empty() && fromEnvironment.back() == ' ')
    fromEnvironment.remove_suffix(1);
  if (!fromEnvironment.empty()) return std::string(fromEnvironment);
  for (const std::string_view preferred : kPreferredDrivers) {
    for (const std::string& name : installed) {
      if (text::EqualsIgnoringAsciiCase(name, preferred)) return name;
    }
  }
  // A Chinese list is separated by the enumeration comma.
  const char* const separator =
      text::MessageLanguage() == text::Language::kChinese ? "\xA1\xA2" : ", ";
  std::string lookedFor;
  for (const std::string_view preferred : kPreferredDrivers) {
    if (!lookedFor.empty()) lookedFor += separator;
    lookedFor += '"';
    lookedFor += preferred;
    lookedFor += '"';
  }
  throw SqlError(text::TrFormat(
      // TRANSLATORS: the first %s lists the drivers' names, the second is SLOTSYNC_ODBC_DRIVER.
      "No ODBC driver for SQL Server is installed; looked for %s. "
      "Install one, or name the driver to use in %s",
      lookedFor, kDriverVariable));
}

std::string DriverFromEnvironment() {
#ifdef _WIN32
  // The process environment through kernel32: msvcrt.dll, the C runtime a
  // mingw build uses, has no _wdupenv_s.
  constexpr const wchar_t* kName = L"SLOTSYNC_ODBC_DRIVER";
  const DWORD size = GetEnvironmentVariableW(kName, nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(kName, value.data(), size);
  if (length == 0 || length >= size) return {};
  return text::Utf16ToGbk(std::u16string(value.begin(), value.begin() + length));
#else
  const char* value = std::getenv(kDriverVariable);
  if (value == nullptr) return {};
  // The environment of a POSIX process is UTF-8 in practice; driver names
  // are ASCII anyway.
  return text::Utf8ToGbk(value);
#endif
}

platform::SecretU16String SecretUtf16(std::string_view gbk) {
  return platform::SecretU16String::Taking(text::GbkToUtf16(gbk));
}

DriverKind DriverKindOfName(std::string_view name) {
  return KindOfName(text::GbkToUtf16(name));
}

DriverKind DriverKindOfLibrary(std::string_view library) {
  std::string file(library.substr(
      library.find_last_of("/\\") == std::string_view::npos ? 0 : library.find_last_of("/\\") + 1));
  for (char& c : file) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
  if (file.find("tdsodbc") != std::string::npos) return {DriverFamily::kFreeTds, 0};
  if (const auto at = file.find("msodbcsql"); at != std::string::npos) {
    // libmsodbcsql-18.3.so.2.1, msodbcsql18.dll, libmsodbcsql.18.dylib
    std::size_t i = at + 9;
    if (i < file.size() && (file[i] == '-' || file[i] == '.')) ++i;
    int version = 0;
    for (std::size_t digits = 0; i < file.size() && file[i] >= '0' && file[i] <= '9' && digits < 4;
         ++i, ++digits) {
      version = version * 10 + (file[i] - '0');
    }
    return {DriverFamily::kMicrosoft, version};
  }
  if (file.starts_with("sqlncli") || file.starts_with("sqlsrv32.")) {
    return {DriverFamily::kMicrosoft, 0};
  }
  return {DriverFamily::kOther, 0};
}

std::string CheckEncryptionCanBeHad(const ConnectionSettings& settings, DriverKind kind,
                                    std::string_view driverName, std::string_view library) {
  // Made only when there is something to say: every connect passes here,
  // the in-step call's too.
  const auto named = [&] {
    return library.empty() || library == driverName
               ? text::TrFormat("the ODBC driver \"%s\"", driverName)
               : text::TrFormat("the ODBC driver \"%s\" (library %s)", driverName, library);
  };
  // FreeTDS checks a certificate only against the "ca file" of freetds.conf,
  // and its ODBC driver reads freetds.conf only for a server named by its
  // section (Servername=, or a DSN's). The connection string names the
  // server by its address (Server=, Port=), so no freetds.conf - neither
  // [global] nor a section named like the host - reaches the connect, and
  // no "ca file" in it counts.
  if (kind.family == DriverFamily::kFreeTds && settings.encryption == Encryption::kMandatory &&
      !settings.trustServerCertificate) {
    throw SqlError(text::TrFormat(
        // TRANSLATORS: %s names the driver: 'the ODBC driver "FreeTDS"'.
        "Mandatory encryption with a checked certificate cannot be had from %s: FreeTDS checks "
        "the server's certificate only against the \"ca file\" of freetds.conf, which it does "
        "not read for a server named by its address, as slotsync names it, so the server's "
        "certificate would not be checked and an impostor would receive the login; accept the "
        "certificate unchecked with --trust-server-certificate (-C), or connect with Microsoft's "
        "ODBC Driver 18 for SQL Server",
        named()));
  }
  if (kind.family == DriverFamily::kFreeTds && settings.encryption == Encryption::kOptional) {
    return text::TrFormat(
        // TRANSLATORS: %s names the driver: 'the ODBC driver "FreeTDS"'.
        "%s was asked for optional encryption (--encrypt optional): it encrypts only when the "
        "server can, so the user name and the password may cross the network in clear",
        named());
  }
  if (kind.family != DriverFamily::kOther || settings.encryption == Encryption::kOptional) {
    return {};
  }
  if (settings.encryption == Encryption::kStrict || settings.encryptionRequested) {
    throw SqlError(text::TrFormat(
        // TRANSLATORS: the first %s names the driver, the second is SLOTSYNC_ODBC_DRIVER.
        "%s is none whose encryption keywords are known here (Microsoft's ODBC Driver for SQL "
        "Server, its older drivers, FreeTDS, each found from its library), so it cannot be asked "
        "to encrypt and the login could cross the network in clear; nothing was sent. Name such "
        "a driver in %s, or allow it with --encrypt optional",
        named(), kDriverVariable));
  }
  return text::TrFormat(
      // TRANSLATORS: the first %s names the driver, the second is SLOTSYNC_ODBC_DRIVER.
      "%s is none whose encryption keywords are known here (Microsoft's ODBC Driver for SQL "
      "Server, its older drivers, FreeTDS, each found from its library), so it was asked for no "
      "encryption: the login may cross the network in clear, and a run that has tables to "
      "rebuild stops before its transaction when the server reports the session unencrypted; "
      "name such a driver in %s, or accept an unencrypted session with --encrypt optional",
      named(), kDriverVariable);
}

platform::SecretU16String BuildWideConnectionString(const ConnectionSettings& settings,
                                                    std::string_view driverName) {
  return BuildWideConnectionString(settings, driverName, DriverKindOfName(driverName));
}

platform::SecretU16String BuildWideConnectionString(const ConnectionSettings& settings,
                                                    std::string_view driverName, DriverKind kind) {
  const std::u16string driver = text::GbkToUtf16(driverName);
  if (Trim(driver).empty()) throw SqlError(text::Tr("No ODBC driver named to connect with"));
  Builder builder(kind);
  if (!settings.dataSource.empty()) {
    // The data source names the driver and the server; a Server= beside it
    // would override the administrator's.
    builder.AddDataSource(text::GbkToUtf16(settings.dataSource));
  } else {
    builder.AddDriver(driver);
    AddServer(builder, kind, text::GbkToUtf16(settings.server));
  }
  builder.Add(u"Database", text::GbkToUtf16(settings.database));
  if (settings.trustedConnection) {
    AddTrustedConnection(builder, kind, driver);
  } else {
    builder.Add(u"UID", text::GbkToUtf16(settings.user));
    builder.Add(u"PWD", SecretUtf16(settings.password.View()).View());
  }
  builder.Add(u"APP", text::GbkToUtf16(settings.applicationName));

  if (kind.family == DriverFamily::kFreeTds) {
    // FreeTDS converts server text to its client charset on the way to the
    // application - diagnostic messages among it, even through the wide
    // calls. Its default comes from the locale or is ISO 8859-1, which
    // turns every Chinese character into "?"; UTF-8 holds them all.
    //
    // TDS_Version is left out on purpose: FreeTDS 1.1 and later default to
    // "auto" and find the newest version the server speaks, and a version
    // set in freetds.conf for a particular site stays in force.
    builder.AddFixed(u"ClientCharset=UTF-8");
  }
  AddEncryption(builder, kind, driver, settings);
  return builder.Take();
}

std::string BuildConnectionString(const ConnectionSettings& settings, std::string_view driverName) {
  return text::Utf16ToGbk(BuildWideConnectionString(settings, driverName).View());
}

std::string EncryptionHint(const ConnectionSettings& settings, std::string_view message) {
  const std::u16string text = text::GbkToUtf16(message);
  bool aboutTls = false;
  for (const std::u16string_view word :
       {u"encrypt", u"ssl", u"tls", u"certificate", u"handshake"}) {
    aboutTls = aboutTls || ContainsIgnoringCase(text, word);
  }
  if (!aboutTls || settings.encryption == Encryption::kOptional) return {};
  if (!settings.trustServerCertificate || settings.encryption == Encryption::kStrict) {
    return text::Tr(
        "The connection asks for encryption. If the server cannot encrypt, allow an unencrypted "
        "login with --encrypt optional (SlotsyncOptions.encrypt = SLOTSYNC_ENCRYPT_OPTIONAL); if "
        "its certificate is self-signed, install one the client trusts, or accept it unchecked "
        "with --trust-server-certificate (-C) and --encrypt mandatory");
  }
  return text::Tr(
      "The connection asks for encryption. If the server cannot encrypt, allow an unencrypted "
      "login with --encrypt optional (SlotsyncOptions.encrypt = SLOTSYNC_ENCRYPT_OPTIONAL)");
}

std::string MaskPassword(std::string_view connectionString) {
  return MaskPassword(SecretUtf16(connectionString).View());
}

std::string MaskPassword(std::u16string_view in) {
  std::u16string out;
  std::size_t at = 0;
  while (at < in.size()) {
    const std::size_t equals = in.find(u'=', at);
    if (equals == std::u16string::npos) {
      out.append(in.substr(at));
      break;
    }
    const std::u16string_view key = Trim(std::u16string_view(in).substr(at, equals - at));
    const bool secret = EqualsIgnoringCase(key, u"PWD") || EqualsIgnoringCase(key, u"Password");
    // The value runs to the ";" after it; a braced value to its closing
    // brace first (a doubled "}}" does not close it). An unclosed brace
    // leaves the rest of the string to the value.
    std::size_t end = equals + 1;
    if (end < in.size() && in[end] == u'{') {
      ++end;
      while (end < in.size()) {
        if (in[end] == u'}') {
          if (end + 1 < in.size() && in[end + 1] == u'}') {
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        ++end;
      }
    }
    end = std::min(in.find(u';', end), in.size());
    out.append(in.substr(at, equals + 1 - at));
    if (secret) {
      out += u"***";
    } else {
      out.append(in.substr(equals + 1, end - equals - 1));
    }
    if (end < in.size()) out.push_back(u';');
    at = end + 1;
  }
  return text::Utf16ToGbk(out);
}

namespace {

bool IsKeyCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Where a "PWD=" or "Password=" value starting at `at` ends: a braced value
// at its closing brace ("}}" does not close it), any other at the ";" or
// line break after it, or at the end of the text. Read by characters: "}"
// is a GBK trail byte too, and a password's character ending in it must not
// end the value early.
std::size_t SecretValueEnd(std::string_view text, std::size_t at) {
  if (at < text.size() && text[at] == '{') {
    for (std::size_t i = at + 1; i < text.size(); ++i) {
      if (text::GbkCharacterLength(text, i) == 2) {
        ++i;
        continue;
      }
      if (text[i] != '}') continue;
      if (i + 1 < text.size() && text[i + 1] == '}') {
        ++i;
        continue;
      }
      return i + 1;
    }
    return text.size();
  }
  const std::size_t end = text.find_first_of(";\r\n", at);
  return end == std::string_view::npos ? text.size() : end;
}

// Where the value of a secret attribute named at `at` begins, or npos when
// no "PWD" or "Password" key, followed by "=" after optional blanks, starts
// there.
std::size_t SecretValueStart(std::string_view text, std::size_t at) {
  if (at > 0 && IsKeyCharacter(text[at - 1])) return std::string_view::npos;
  for (const std::string_view key : {std::string_view("password"), std::string_view("pwd")}) {
    if (!text::EqualsIgnoringAsciiCase(text.substr(at, key.size()), key)) continue;
    std::size_t i = at + key.size();
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && text[i] == '=') return i + 1;
  }
  return std::string_view::npos;
}

// A password of a few characters would also be found inside the words of
// any message ("x" in "exist"); it is scrubbed where it stands alone, a
// longer one wherever it stands.
bool IsPasswordAt(std::string_view text, std::size_t at, std::string_view password) {
  constexpr std::size_t kShort = 4;
  if (password.empty() || text.compare(at, password.size(), password) != 0) return false;
  if (password.size() >= kShort) return true;
  const std::size_t end = at + password.size();
  return (at == 0 || !IsKeyCharacter(text[at - 1])) &&
         (end == text.size() || !IsKeyCharacter(text[end]));
}

}  // namespace

std::string ScrubSecrets(std::string_view text, std::string_view password) {
  std::string scrubbed;
  scrubbed.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    if (IsPasswordAt(text, at, password)) {
      scrubbed += "***";
      at += password.size();
      continue;
    }
    if (const std::size_t value = SecretValueStart(text, at); value != std::string_view::npos) {
      scrubbed.append(text.substr(at, value - at)).append("***");
      at = SecretValueEnd(text, value);
      continue;
    }
    scrubbed += text[at++];
  }
  return scrubbed;
}

void ScrubSecrets(std::vector<Diagnostic>& diagnostics, std::string_view password) {
  for (Diagnostic& diagnostic : diagnostics) {
    diagnostic.message = ScrubSecrets(diagnostic.message, password);
  }
}

}  // namespace slotsync::sql
