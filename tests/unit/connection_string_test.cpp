#include "sql/connection_string.h"
#include "scoped_variable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "sql/driver_registry.h"
#include "sql/sql_error.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::sql {
namespace {

// What every Microsoft driver gets by default: encrypted, certificate trusted.
const std::string kTrusted = "Encrypt=yes;TrustServerCertificate=yes;";

using Attributes = std::vector<std::pair<std::u16string, std::u16string>>;

// Reads a connection string the way the ODBC grammar defines it (and
// Microsoft's drivers and FreeTDS 1.4 implement it): a value in braces runs
// to the "}" that is not doubled, and "}}" inside stands for "}". The text is
// read as UTF-16, as the driver gets it.
Attributes ParseStandard(const std::string& gbk) {
  const std::u16string s = text::GbkToUtf16(gbk);
  Attributes out;
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t equals = s.find(u'=', at);
    if (equals == std::u16string::npos) {
      ADD_FAILURE() << "attribute without '=' in " << gbk;
      break;
    }
    std::u16string key = s.substr(at, equals - at);
    std::u16string value;
    std::size_t i = equals + 1;
    if (i < s.size() && s[i] == u'{') {
      ++i;
      for (;; ++i) {
        if (i >= s.size()) {
          ADD_FAILURE() << "unclosed brace in " << gbk;
          return out;
        }
        if (s[i] == u'}') {
          if (i + 1 < s.size() && s[i + 1] == u'}') {
            value.push_back(u'}');
            ++i;
            continue;
          }
          ++i;
          break;
        }
        value.push_back(s[i]);
      }
      if (i < s.size() && s[i] != u';') ADD_FAILURE() << "text after a closing brace in " << gbk;
    } else {
      const std::size_t end = std::min(s.find(u';', i), s.size());
      value = s.substr(i, end - i);
      i = end;
    }
    out.emplace_back(std::move(key), std::move(value));
    at = i + 1;
  }
  return out;
}

// How FreeTDS up to 1.3 reads it: a braced value runs to the first "};" (or
// to the end of the string, closing brace included) and "}}" stays doubled.
Attributes ParseFreeTds13(const std::string& gbk) {
  const std::u16string s = text::GbkToUtf16(gbk);
  Attributes out;
  std::size_t at = 0;
  while (at < s.size()) {
    const std::size_t equals = s.find(u'=', at);
    if (equals == std::u16string::npos) break;
    std::u16string key = s.substr(at, equals - at);
    std::size_t start = equals + 1;
    std::size_t end;
    if (start < s.size() && s[start] == u'{') {
      ++start;
      end = s.find(u"};", start);
      if (end == std::u16string::npos) end = s.size();
      out.emplace_back(std::move(key), s.substr(start, end - start));
      at = end + 2;
    } else {
      end = std::min(s.find(u';', start), s.size());
      out.emplace_back(std::move(key), s.substr(start, end - start));
      at = end + 1;
    }
  }
  return out;
}

std::vector<std::u16string> Keys(const Attributes& attributes) {
  std::vector<std::u16string> keys;
  for (const auto& [key, value] : attributes) keys.push_back(key);
  return keys;
}

std::optional<std::u16string> Find(const Attributes& attributes, std::u16string_view key) {
  for (const auto& [k, v] : attributes) {
    if (k == key) return v;
  }
  return std::nullopt;
}

// What a GBK text reads as on the driver's side: broken bytes come out as
// "?" whichever way they go, which is all this checks for them.
std::u16string AsDriverSees(const std::string& gbk) {
  return text::GbkToUtf16(text::Utf16ToGbk(text::GbkToUtf16(gbk)));
}

// Values that would end an attribute early, or start a new one, if they were
// not quoted. "\xB0\x7D" is one GBK character whose second byte is "}",
// "\x81\x7B" one whose second byte is "{"; "\xA2\x7D" is a pair GBK does not
// map, which decodes as U+FFFD followed by a real "}".
const std::vector<std::string>& NastyValues() {
  static const std::vector<std::string> values = {"p;w}d=1",
                                                  "{abc",
                                                  "a=b",
                                                  "}",
                                                  "}}",
                                                  "x;UID=sa",
                                                  "{",
                                                  "a}b",
                                                  "{p;w}d}",
                                                  " padded ",
                                                  ";",
                                                  "\xB0\x7D;UID=evil",
                                                  "\x81\x7B\xB0\x7D",
                                                  "x\xA2};UID=evil",
                                                  "ab}c{",
                                                  "}{;="};
  return values;
}

TEST(ConnectionString, BracesEveryValueForMicrosoftDrivers) {
  const ConnectionSettings settings{"db01", "SizeDb", "sa", "p;w}d=1", ""};
  EXPECT_EQ(
      "Driver={ODBC Driver 17 for SQL Server};Server={db01};Database={SizeDb};UID={sa};"
      "PWD={p;w}}d=1};" +
          kTrusted,
      BuildConnectionString(settings, "ODBC Driver 17 for SQL Server"));
  EXPECT_EQ(
      "Driver={SQL Server};Server={db01};Database={SizeDb};UID={sa};PWD={p;w}}d=1};" + kTrusted,
      BuildConnectionString(settings, "SQL Server"));
}

TEST(ConnectionString, NoValueCanAddAnAttribute) {
  const std::vector<std::string> drivers = {"ODBC Driver 18 for SQL Server", "SQL Server",
                                            "FreeTDS", "SQLite3"};
  for (const std::string& driver : drivers) {
    for (const std::string& value : NastyValues()) {
      SCOPED_TRACE(driver + " / " + value);
      // FreeTDS takes the server apart; its forms have tests of their own.
      const std::string server = driver == "FreeTDS" ? "db01" : value;
      const ConnectionSettings settings{server, value, value, value, ""};
      std::string built;
      try {
        built = BuildConnectionString(settings, driver);
      } catch (const SqlError&) {
        // Refusing is allowed (FreeTDS refuses "};"); passing it on wrongly is not.
        EXPECT_EQ("FreeTDS", driver);
        EXPECT_NE(std::string::npos, value.find("};"));
        continue;
      }
      const Attributes attributes = ParseStandard(built);
      std::vector<std::u16string> expectedKeys = {u"Driver", u"Server", u"Database", u"UID",
                                                  u"PWD"};
      if (driver == "FreeTDS") {
        expectedKeys.insert(expectedKeys.end(), {u"ClientCharset", u"Encryption"});
      } else if (driver != "SQLite3") {
        expectedKeys.insert(expectedKeys.end(), {u"Encrypt", u"TrustServerCertificate"});
      }
      EXPECT_EQ(expectedKeys, Keys(attributes));
      EXPECT_EQ(AsDriverSees(server), Find(attributes, u"Server"));
      EXPECT_EQ(AsDriverSees(value), Find(attributes, u"Database"));
      EXPECT_EQ(AsDriverSees(value), Find(attributes, u"UID"));
      EXPECT_EQ(AsDriverSees(value), Find(attributes, u"PWD"));
      if (driver == "FreeTDS") {
        // The older FreeTDS may read a value with "}" wrongly, but must not
        // find an attribute that is not there.
        EXPECT_EQ(expectedKeys, Keys(ParseFreeTds13(built)));
      }
    }
  }
}

TEST(ConnectionString, GbkCharactersWithBraceLikeBytesStayWhole) {
  // "\xB0\x7D" must not have its second byte doubled as if it were "}".
  const ConnectionSettings settings{"db01", "\xB0\x7D\xD5\xFD", "sa", "\x81\x7B", ""};
  EXPECT_EQ(
      "Driver={SQL Server};Server={db01};Database={\xB0\x7D\xD5\xFD};UID={sa};"
      "PWD={\x81\x7B};" +
          kTrusted,
      BuildConnectionString(settings, "SQL Server"));
}

TEST(ConnectionString, FreeTdsServerForms) {
  struct Case {
    std::string server;
    std::string expected;  // the attributes between Driver and Database
  };
  const Case cases[] = {
      {"db01", "Server={db01};"},
      {"db01\\SQLEXPRESS", "Server={db01\\SQLEXPRESS};"},
      {"db01,1433", "Server={db01};Port={1433};"},
      {" db01 , 1500 ", "Server={db01};Port={1500};"},
      // FreeTDS takes a port or an instance; the port wins, as with SQL Server's drivers.
      {"db01\\SQLEXPRESS,1500", "Server={db01};Port={1500};"},
      {".\\SQLEXPRESS", "Server={localhost\\SQLEXPRESS};"},
      {"(local)", "Server={localhost};"},
      {"10.0.0.5,14330", "Server={10.0.0.5};Port={14330};"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server);
    const ConnectionSettings settings{c.server, "SizeDb", "sa", "pw", ""};
    EXPECT_EQ("Driver={FreeTDS};" + c.expected +
                  "Database={SizeDb};UID={sa};PWD={pw};ClientCharset=UTF-8;Encryption=require;",
              BuildConnectionString(settings, "FreeTDS"));
  }
  EXPECT_THROW(BuildConnectionString({"db01,", "", "", "", ""}, "FreeTDS"), SqlError);
  EXPECT_THROW(BuildConnectionString({"db01,14x", "", "", "", ""}, "FreeTDS"), SqlError);
  // Said in the language asked for: Chinese, in GBK like every text of the library.
  text::SetMessageLanguage(text::Language::kChinese);
  try {
    BuildConnectionString({"db01,14x", "", "", "", ""}, "FreeTDS");
    ADD_FAILURE() << "expected SqlError";
  } catch (const SqlError& error) {
    EXPECT_EQ(text::Utf8ToGbk("服务器名 'db01,14x' 的逗号后面没有端口号"), error.what());
  }
  text::SetMessageLanguage(text::Language::kEnglish);
}

TEST(ConnectionString, MicrosoftServerFormsPassAsGiven) {
  for (const std::string server : {"db01", "db01\\SQLEXPRESS", "db01,1433"}) {
    SCOPED_TRACE(server);
    const ConnectionSettings settings{server, "SizeDb", "sa", "pw", ""};
    EXPECT_EQ("Driver={ODBC Driver 18 for SQL Server};Server={" + server +
                  "};Database={SizeDb};UID={sa};PWD={pw};" + kTrusted,
              BuildConnectionString(settings, "ODBC Driver 18 for SQL Server"));
  }
}

// What each driver is told for each level; "" where it must refuse.
TEST(ConnectionString, EncryptionInEachDriversWords) {
  struct Case {
    std::string driver;
    Encryption level;
    bool trust;
    std::string expected;
  };
  const std::string d18 = "ODBC Driver 18 for SQL Server", d17 = "ODBC Driver 17 for SQL Server";
  const Case cases[] = {
      {d18, Encryption::kMandatory, true, "Encrypt=yes;TrustServerCertificate=yes;"},
      {d18, Encryption::kMandatory, false, "Encrypt=yes;TrustServerCertificate=no;"},
      {d18, Encryption::kOptional, false, "Encrypt=no;TrustServerCertificate=no;"},
      {d18, Encryption::kStrict, false, "Encrypt=strict;"},
      {"odbc driver 19 for sql server", Encryption::kStrict, false, "Encrypt=strict;"},
      {d17, Encryption::kMandatory, true, "Encrypt=yes;TrustServerCertificate=yes;"},
      {d17, Encryption::kMandatory, false, "Encrypt=yes;TrustServerCertificate=no;"},
      {d17, Encryption::kStrict, false, ""},
      {"SQL Server", Encryption::kMandatory, true, "Encrypt=yes;TrustServerCertificate=yes;"},
      {"SQL Server", Encryption::kOptional, true, "Encrypt=no;TrustServerCertificate=yes;"},
      {"SQL Server Native Client 11.0", Encryption::kStrict, false, ""},
      {"FreeTDS", Encryption::kMandatory, true, "ClientCharset=UTF-8;Encryption=require;"},
      {"FreeTDS", Encryption::kOptional, true, "ClientCharset=UTF-8;Encryption=request;"},
      {"FreeTDS", Encryption::kStrict, false, ""},
      {"SQLite3", Encryption::kMandatory, true, "PWD=pw;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.driver + " " + c.expected);
    ConnectionSettings settings{"db01", "", "sa", "pw", ""};
    settings.encryption = c.level;
    settings.trustServerCertificate = c.trust;
    if (c.expected.empty()) {
      EXPECT_THROW(BuildConnectionString(settings, c.driver), SqlError);
      continue;
    }
    const std::string built = BuildConnectionString(settings, c.driver);
    EXPECT_TRUE(built.ends_with(";" + c.expected)) << built;
  }
}

// FreeTDS reads freetds.conf only for a server named by its section, never
// for Server=, the form the connection string uses: no "ca file" there makes
// it check a certificate, wherever the file and the section. A checked
// certificate is refused, an unchecked one taken, and optional encryption
// warned of, whatever FreeTDS's files hold.
TEST(ConnectionString, NoCaFileOfFreeTdsCountsForAServerNamedByItsAddress) {
  const std::string dir = ::testing::TempDir() + "freetds-" +
                          ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::filesystem::create_directories(dir + "/home");
  std::ofstream(dir + "/home/.freetds.conf") << "[global]\nca file = /etc/ssl/ca.pem\n";
  const testing::ScopedVariable home("HOME", (dir + "/home").c_str());
  const DriverKind freeTds{DriverFamily::kFreeTds, 0};
  for (const std::string conf :
       {"[global]\n\tca file = /etc/ssl/ca.pem\n", "[db01]\nca file = /etc/ssl/ca.pem\n",
        "[DB01]\n  CA  File = /etc/ssl/ca.pem ; the shops' CA\n",
        "[other]\nca file = /etc/ssl/ca.pem\n", ""}) {
    SCOPED_TRACE(conf);
    std::ofstream(dir + "/freetds.conf") << conf;
    const testing::ScopedVariable named("FREETDSCONF", (dir + "/freetds.conf").c_str());
    ConnectionSettings settings{"db01,1433", "", "sa", "pw", ""};
    settings.trustServerCertificate = false;
    try {
      CheckEncryptionCanBeHad(settings, freeTds, "FreeTDS", "libtdsodbc.so");
      ADD_FAILURE() << "a checked certificate was taken";
    } catch (const SqlError& e) {
      EXPECT_NE(std::string(e.what()).find("which it does not read for a server named by its "
                                           "address"),
                std::string::npos)
          << e.what();
    }
    settings.trustServerCertificate = true;
    EXPECT_EQ(CheckEncryptionCanBeHad(settings, freeTds, "FreeTDS", "libtdsodbc.so"), "");
    settings.encryption = Encryption::kOptional;
    EXPECT_NE(CheckEncryptionCanBeHad(settings, freeTds, "FreeTDS", "libtdsodbc.so")
                  .find("the user name and the password may cross the network in clear"),
              std::string::npos);
  }
  std::filesystem::remove_all(dir);
}

TEST(ConnectionString, TheApplicationNameIsSentAndAHintNamesTheWayOut) {
  ConnectionSettings settings{"db01", "", "sa", "pw", ""};
  settings.applicationName = "slotsync 1.2.3";
  EXPECT_NE(BuildConnectionString(settings, "FreeTDS").find(";APP={slotsync 1.2.3};"),
            std::string::npos);
  EXPECT_NE(EncryptionHint(settings, "SSL Provider: certificate verify failed")
                .find("--encrypt optional"),
            std::string::npos);
  EXPECT_EQ(EncryptionHint(settings, "Login failed for user 'sa'."), "");
  settings.encryption = Encryption::kOptional;
  EXPECT_EQ(EncryptionHint(settings, "TLS handshake failed"), "");
}

TEST(ConnectionString, FreeTdsIsRecognisedByNameOrLibrary) {
  const ConnectionSettings settings{"db01,1433", "", "", "", ""};
  for (const std::string driver :
       {"FreeTDS", "freetds", "FreeTDS 1.4", "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"}) {
    SCOPED_TRACE(driver);
    const Attributes attributes = ParseStandard(BuildConnectionString(settings, driver));
    EXPECT_EQ(u"1433", Find(attributes, u"Port"));
    EXPECT_EQ(u"UTF-8", Find(attributes, u"ClientCharset"));
  }
}

TEST(ConnectionString, FreeTdsValuesWithBraces) {
  struct Case {
    std::string password;
    std::string expected;
  };
  const Case cases[] = {
      // Bare where FreeTDS 1.3 and 1.4 both read it unchanged.
      {"ab}c", "PWD=ab}c;"},
      {"pw", "PWD={pw};"},
      {"p;w", "PWD={p;w};"},
      // Standard braces otherwise: right for FreeTDS 1.4.
      {"p;w}d=1", "PWD={p;w}}d=1};"},
      {"{ab}", "PWD={{ab}}};"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    const std::string built = BuildConnectionString({"db01", "", "sa", c.password, ""}, "FreeTDS");
    EXPECT_NE(std::string::npos, built.find(";" + c.expected)) << built;
  }
}

TEST(ConnectionString, FreeTdsRefusesWhatItsOlderReleasesWouldSplit) {
  try {
    BuildConnectionString({"db01", "", "sa", "se}};cret", ""}, "FreeTDS");
    FAIL() << "expected SqlError";
  } catch (const SqlError& error) {
    const std::string message = error.what();
    EXPECT_NE(std::string::npos, message.find("password")) << message;
    EXPECT_EQ(std::string::npos, message.find("se}};cret")) << message;
  }
  // Microsoft's drivers read the standard quoting and take it.
  EXPECT_NO_THROW(BuildConnectionString({"db01", "", "sa", "se}};cret", ""}, "SQL Server"));
}

TEST(ConnectionString, OtherDriversGetBareValuesWhereTheyReadTheSame) {
  // SQLite's driver keeps braces as part of the value.
  EXPECT_EQ("Driver={SQLite3};Database=/tmp/size db/x.db;",
            BuildConnectionString({"", "/tmp/size db/x.db", "", "", ""}, "SQLite3"));
  EXPECT_EQ("Driver={SQLite3};Server=host\\inst,1433;Database={a;b};",
            BuildConnectionString({"host\\inst,1433", "a;b", "", "", ""}, "SQLite3"));
}

// sqlcmd's -E and a data source: the keyword each family takes, the data
// source's name braced like any value, and no user or password beside
// Windows authentication.
TEST(ConnectionString, WindowsAuthenticationAndDataSources) {
  const auto settings = [](std::string dataSource, bool trusted) {
    ConnectionSettings s{"", "Shop", "sa", "pw", ""};
    s.dataSource = std::move(dataSource);
    s.trustedConnection = trusted;
    if (s.dataSource.empty()) s.server = "db01";
    return s;
  };
  const std::tuple<ConnectionSettings, std::string, std::string> cases[] = {
      {settings("", true), "ODBC Driver 18 for SQL Server",
       "Driver={ODBC Driver 18 for SQL Server};Server={db01};Database={Shop};"
       "Trusted_Connection=yes;" +
           kTrusted},
      {settings("", true), "FreeTDS",
       "Driver={FreeTDS};Server={db01};Database={Shop};Trusted_Connection=yes;"
       "ClientCharset=UTF-8;Encryption=require;"},
      {settings("Shop;Server=evil}", false), "ODBC Driver 18 for SQL Server",
       "DSN={Shop;Server=evil}}};Database={Shop};UID={sa};PWD={pw};" + kTrusted},
      {settings("ShopDsn", true), "FreeTDS",
       "DSN={ShopDsn};Database={Shop};Trusted_Connection=yes;ClientCharset=UTF-8;"
       "Encryption=require;"},
      {settings("ShopDsn", false), "SQLite3", "DSN={ShopDsn};Database=Shop;UID=sa;PWD=pw;"},
  };
  for (const auto& [given, driver, expected] : cases) {
    EXPECT_EQ(expected, BuildConnectionString(given, driver));
  }
  // A driver whose keyword is unknown would log in with an empty login.
  EXPECT_THROW(BuildConnectionString(settings("", true), "SQLite3"), SqlError);
}

TEST(ConnectionString, EmptyValuesAreLeftOut) {
  EXPECT_EQ("Driver={SQL Server};Server={db01};" + kTrusted,
            BuildConnectionString({"db01", "", "", "", ""}, "SQL Server"));
  EXPECT_THROW(BuildConnectionString({"db01", "", "", "", ""}, ""), SqlError);
}

TEST(ConnectionString, DriverNameIsQuoted) {
  const Attributes attributes =
      ParseStandard(BuildConnectionString({"db01", "", "", "", ""}, "My}Driver;X=1"));
  EXPECT_EQ((std::vector<std::u16string>{u"Driver", u"Server"}), Keys(attributes));
  EXPECT_EQ(u"My}Driver;X=1", Find(attributes, u"Driver"));
}

TEST(ConnectionString, MaskPasswordHidesEveryPassword) {
  struct Case {
    std::string in;
    std::string expected;
  };
  const Case cases[] = {
      {"Driver={X};PWD={p;w}}d=1};UID={sa};", "Driver={X};PWD=***;UID={sa};"},
      {"pwd=secret;uid=sa", "pwd=***;uid=sa"},
      {"Password={a}}b;c};Server=s", "Password=***;Server=s"},
      {" PWD =x; PWD={y}", " PWD =***; PWD=***"},
      {"PWD={unclosed;UID=x", "PWD=***"},
      {"PWD=", "PWD=***"},
      {"UID=sa;Server={db;01}", "UID=sa;Server={db;01}"},
      // 0x81 0x7D is one character, not a closing brace.
      {"PWD={a\x81}rest};UID=sa", "PWD=***;UID=sa"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, MaskPassword(c.in)) << c.in;
}

TEST(ConnectionString, ScrubSecretsHidesThePasswordAndEveryPasswordValueInAnyText) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"Login failed: DRIVER={X};PWD={s3cret};UID=sa", "s3cret",
       "Login failed: DRIVER={X};PWD=***;UID=sa"},
      {"s3cret and s3cret again", "s3cret", "*** and *** again"},
      {"bad password = hunter2\nnext", "", "bad password =***\nnext"},
      {"exist; 'x' ok", "x", "exist; '***' ok"},
      {"Opwd=1;pwd={a}}b};x", "zzzz", "Opwd=1;pwd=***;x"},
      {"nothing to hide", "", "nothing to hide"},
  };
  for (const auto& [in, password, expected] : cases)
    EXPECT_EQ(expected, ScrubSecrets(in, password)) << in;
}

TEST(ConnectionString, MaskedConnectionStringsKeepEverythingButThePassword) {
  for (const std::string driver : {"ODBC Driver 18 for SQL Server", "FreeTDS", "SQLite3"}) {
    for (const std::string& password : NastyValues()) {
      SCOPED_TRACE(driver + " / " + password);
      if (driver == "FreeTDS" && password.find("};") != std::string::npos) continue;
      const std::string built =
          BuildConnectionString({"db01", "SizeDb", "sa", password + "secret", ""}, driver);
      const std::string masked = MaskPassword(built);
      EXPECT_EQ(std::string::npos, masked.find("secret")) << masked;
      Attributes expected = ParseStandard(built);
      for (auto& [key, value] : expected) {
        if (key == u"PWD") value = u"***";
      }
      EXPECT_EQ(expected, ParseStandard(masked));
    }
  }
}

TEST(ChooseDriver, PrefersTheNewestSqlServerDriverInstalled) {
  struct Case {
    std::vector<std::string> installed;
    std::string expected;
  };
  const Case cases[] = {
      {{"SQLite3", "FreeTDS", "ODBC Driver 17 for SQL Server"}, "ODBC Driver 17 for SQL Server"},
      {{"ODBC Driver 17 for SQL Server", "ODBC Driver 18 for SQL Server"},
       "ODBC Driver 18 for SQL Server"},
      {{"SQL Server", "FreeTDS"}, "FreeTDS"},
      {{"SQLite3", "SQL Server"}, "SQL Server"},
      {{"sql server"}, "sql server"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, ChooseDriver("", c.installed));
}

TEST(ChooseDriver, TheEnvironmentVariableWins) {
  EXPECT_EQ("My Driver", ChooseDriver("My Driver", {"ODBC Driver 18 for SQL Server"}));
  EXPECT_EQ("My Driver", ChooseDriver(" My Driver ", {}));
  // Blank counts as not set.
  EXPECT_EQ("FreeTDS", ChooseDriver("  ", {"FreeTDS"}));
}

TEST(ChooseDriver, NoneInstalledNamesTheDriversLookedFor) {
  try {
    ChooseDriver("", {"SQLite3", "PostgreSQL Unicode"});
    FAIL() << "expected SqlError";
  } catch (const SqlError& error) {
    const std::string message = error.what();
    for (const auto name : kPreferredDrivers) {
      EXPECT_NE(std::string::npos, message.find(name)) << message;
    }
    EXPECT_NE(std::string::npos, message.find(kDriverVariable)) << message;
  }
}

using testing::ScopedVariable;

TEST(ChooseDriver, ReadsTheVariable) {
  {
    ScopedVariable variable(kDriverVariable, "ODBC Driver 17 for SQL Server");
    EXPECT_EQ("ODBC Driver 17 for SQL Server", DriverFromEnvironment());
  }
  {
    ScopedVariable variable(kDriverVariable, nullptr);
    EXPECT_EQ("", DriverFromEnvironment());
  }
}

// A registry over these registrations, each look-up it makes added to `looked`.
DriverRegistry::LookUp Registered(std::map<std::string, std::string, std::less<>> libraries,
                                  std::vector<std::string>& looked) {
  return [libraries, &looked](std::string_view name) {
    looked.emplace_back(name);
    const auto found = libraries.find(name);
    return found == libraries.end() ? std::string() : found->second;
  };
}

TEST(DriverRegistry, EachNameIsLookedUpOnceAndJudgedByItsLibrary) {
  std::vector<std::string> looked;
  DriverRegistry registry(Registered({{"ODBC Driver 18 for SQL Server", "/o/libmsodbcsql-18.3.so"},
                                      {"ODBC Driver 17 for SQL Server", "libmsodbcsql-17.10.so"},
                                      {"FreeTDS", "/usr/lib/odbc/libtdsodbc.so"},
                                      {"Shop SQL", "/usr/lib/odbc/libtdsodbc.so"},
                                      {"SQLite3", "libsqlite3odbc.so"}},
                                     looked));
  const std::tuple<std::string, DriverFamily, int> cases[] = {
      {"ODBC Driver 18 for SQL Server", DriverFamily::kMicrosoft, 18},
      {"ODBC Driver 17 for SQL Server", DriverFamily::kMicrosoft, 17},
      {"FreeTDS", DriverFamily::kFreeTds, 0},
      {"Shop SQL", DriverFamily::kFreeTds, 0},  // its library decides, not its name
      {"SQLite3", DriverFamily::kOther, 0},
      {"ODBC Driver 13 for SQL Server", DriverFamily::kOther, 0},  // not registered
  };
  // A host that calls again looks nothing up again; another name is its own.
  for (int call = 0; call < 2; ++call) {
    for (const auto& [name, family, version] : cases) {
      EXPECT_EQ(registry.Find(name).kind.family, family) << name;
      EXPECT_EQ(registry.Find(name).kind.version, version) << name;
    }
  }
  // A path is its own library, looked up nowhere.
  EXPECT_EQ(registry.Find("/o/libmsodbcsql-18.3.so").kind.version, 18);
  EXPECT_EQ(looked.size(), std::size(cases));
}

TEST(DriverRegistry, TheDefaultIsTheFirstPreferredNameRegisteredWithALibrary) {
  const std::string d18 = "ODBC Driver 18 for SQL Server", d17 = "ODBC Driver 17 for SQL Server";
  const std::vector<std::string> all = {d18, d17, "FreeTDS", "SQL Server"};
  const std::tuple<std::map<std::string, std::string, std::less<>>, std::string,
                   std::vector<std::string>>
      cases[] = {{{{d17, "libmsodbcsql-17.so"}, {d18, "libmsodbcsql-18.so"}}, d18, {d18}},
                 {{{"FreeTDS", "libtdsodbc.so"}, {d17, "libmsodbcsql-17.so"}}, d17, {d18, d17}},
                 {{{"SQL Server", "sqlsrv32.dll"}}, "SQL Server", all},
                 {{{"SQLite3", "libsqlite3odbc.so"}}, "", all}};
  for (const auto& [registered, chosen, lookUps] : cases) {
    std::vector<std::string> looked;
    DriverRegistry registry(Registered(registered, looked));
    EXPECT_EQ(registry.FirstPreferred(), chosen);
    EXPECT_EQ(registry.FirstPreferred(), chosen);
    EXPECT_EQ(looked, lookUps);
  }
}

TEST(DriverRegistry, HostsCallingFromSeveralThreadsLookANameUpOnce) {
  std::vector<std::string> looked;
  DriverRegistry registry(Registered({{"FreeTDS", "libtdsodbc.so"}}, looked));
  std::vector<std::thread> hosts;
  for (int i = 0; i < 4; ++i) {
    hosts.emplace_back([&registry] {
      for (int call = 0; call < 100; ++call)
        EXPECT_TRUE(registry.Find("FreeTDS").kind.family == DriverFamily::kFreeTds);
    });
  }
  for (std::thread& host : hosts) host.join();
  EXPECT_EQ(looked, std::vector<std::string>{"FreeTDS"});
}

}  // namespace
}  // namespace slotsync::sql
