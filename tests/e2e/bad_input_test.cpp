// The four texts of RefreshStructEx at their worst, given to the shared
// library loaded as a host loads it, with the real ODBC client and unixODBC
// between it and the scripted driver: NULLs, empty and oversized texts, the
// characters of the connection string grammar, quotes, GBK. Each must end in
// a clear refusal or in a connection string that hands the driver exactly
// the four texts and nothing else - never in a crash or an attribute the
// caller did not give.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "entry/public_api.h"
#include "entry/version.h"
#include "slotsync/slotsync.h"

namespace slotsync::e2e {
namespace {

namespace fs = std::filesystem;

using RefreshStructExFn = int (*)(const char*, const char*, const char*, const char*,
                                  const SlotsyncOptions*, SlotsyncResult*);
using LastErrorFn = const char* (*)();

// The library, loaded once for the whole program as a host would.
struct Library {
  Library() {
    handle = dlopen(Built::Library().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    refreshEx = reinterpret_cast<RefreshStructExFn>(dlsym(handle, "RefreshStructEx"));
    lastError = reinterpret_cast<LastErrorFn>(dlsym(handle, "RefreshStructLastError"));
  }
  ~Library() {
    if (handle != nullptr) dlclose(handle);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  void* handle = nullptr;
  RefreshStructExFn refreshEx = nullptr;
  LastErrorFn lastError = nullptr;
};

Library& TheLibrary() {
  static Library library;
  return library;
}

// "数据库" (database) in GBK and in UTF-8.
const std::string kDatabaseGbk = "\xCA\xFD\xBE\xDD\xBF\xE2";
const std::string kDatabaseUtf8 = "\xE6\x95\xB0\xE6\x8D\xAE\xE5\xBA\x93";
// GBK characters whose second byte is "}", "{" and "\" - "亇", "亄", "乗" -
// which a byte-wise look at the connection string would take for ASCII.
const std::string kTrailBracesGbk = "\x81\x7D\x81\x7B\x81\x5C";
const std::string kTrailBracesUtf8 = "\xE4\xBA\x87\xE4\xBA\x84\xE4\xB9\x97";

const std::string kApp = std::string("APP=slotsync ") + kVersion;

struct Arguments {
  std::optional<std::string> server = "srv";
  std::optional<std::string> database = "Shop";
  std::optional<std::string> user = "sa";
  std::optional<std::string> password = "pw";
};

struct Call {
  int outcome = -1;
  std::string lastError;
  SlotsyncResult result{};
};

// Registers the scripted driver under the names the client treats
// specially, in an odbcinst.ini of the program's own, before any test
// connects: unixODBC reads the file when a connection names a driver. Each
// under the file name of that driver's library, by which the client judges
// what a driver is.
class RegisteredDrivers : public ::testing::Environment {
 public:
  void SetUp() override {
    std::ofstream ini(directory_.Path() / "odbcinst.ini");
    for (const auto& [name, file] :
         {std::pair{"ODBC Driver 18 for SQL Server", "libmsodbcsql-18.3.so"},
          std::pair{"FreeTDS", "libtdsodbc.so"}}) {
      const fs::path library = directory_.Path() / file;
      fs::create_symlink(Built::Driver(), library);
      ini << "[" << name << "]\nDriver=" << library.string() << "\n\n";
    }
    ini.close();
    setenv("ODBCSYSINI", directory_.Path().c_str(), 1);
    unsetenv("ODBCINSTINI");
  }

 private:
  ScratchDirectory directory_;
};

[[maybe_unused]] const auto* const kRegistered =
    ::testing::AddGlobalTestEnvironment(new RegisteredDrivers);

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(TheLibrary().refreshEx, nullptr) << dlerror();
    // An empty Size table: once connected, the run ends after one statement.
    scripted_odbc::ScenarioWriter()
        .Rows("Select top 1 * From Size", {"SizeID"}, {})
        .Save(ScenarioPath().string());
    setenv("SCRIPTED_ODBC_SCENARIO", ScenarioPath().c_str(), 1);
    setenv("SCRIPTED_ODBC_LOG", LogPath().c_str(), 1);
    UseDriver(Built::Driver());
  }

  void TearDown() override {
    unsetenv("SCRIPTED_ODBC_SCENARIO");
    unsetenv("SCRIPTED_ODBC_LOG");
    unsetenv("SLOTSYNC_ODBC_DRIVER");
  }

  static void UseDriver(const std::string& name) {
    setenv("SLOTSYNC_ODBC_DRIVER", name.c_str(), 1);
  }

  fs::path ScenarioPath() const { return directory_.Path() / "scenario.txt"; }
  fs::path LogPath() const { return directory_.Path() / "driver.log"; }

  Call Run(const Arguments& a) {
    std::filesystem::remove(LogPath());
    Call call;
    call.result.size = sizeof call.result;
    SlotsyncOptions options{};
    options.size = sizeof options;
    options.showWindow = 0;
    const auto text = [](const std::optional<std::string>& t) {
      return t ? t->c_str() : static_cast<const char*>(nullptr);
    };
    call.outcome = TheLibrary().refreshEx(text(a.server), text(a.database), text(a.user),
                                          text(a.password), &options, &call.result);
    call.lastError = TheLibrary().lastError();
    return call;
  }

  std::vector<std::string> Attributes() const {
    std::vector<std::string> attributes;
    for (const auto& line : ReadDriverLog(LogPath())) {
      if (line.starts_with("ATTRIBUTE ")) attributes.push_back(line.substr(10));
    }
    return attributes;
  }

  bool DriverWasReached() const { return fs::exists(LogPath()); }

  ScratchDirectory directory_;
};

std::vector<std::string> Expected(const std::string& driver, const Arguments& a,
                                  const std::vector<std::string>& extra = {});

TEST_F(BadInput, NullTextsAreRefusedAsBadArgumentsBeforeAnyConnection) {
  struct Case {
    Arguments arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{std::nullopt, "Shop", "sa", "pw"}, "the server name is NULL"},
      {{"srv", std::nullopt, "sa", "pw"}, "the database name is NULL"},
      {{"srv", "Shop", std::nullopt, "pw"}, "the user name is NULL"},
      {{"srv", "Shop", "sa", std::nullopt}, "the password is NULL"},
      {{std::nullopt, std::nullopt, std::nullopt, std::nullopt}, "the server name is NULL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Call call = Run(c.arguments);
    EXPECT_EQ(call.outcome, SLOTSYNC_BAD_ARGUMENTS);
    EXPECT_EQ(call.lastError, c.message);
    EXPECT_EQ(std::string(call.result.message), c.message);
    EXPECT_FALSE(DriverWasReached());
  }
}

TEST_F(BadInput, TextsOverTheLimitAreRefusedAndTheLimitItselfPasses) {
  const std::size_t limit = entry::kMaxArgumentBytes;
  ASSERT_EQ(limit, 4096u);
  const std::string megabyte(1u << 20, 'a');
  const std::string over(limit + 1, 'b');
  const std::vector<std::string> names = {"server name", "database name", "user name", "password"};
  for (const std::string* text : {&megabyte, &over}) {
    for (std::size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE(names[i] + " of " + std::to_string(text->size()) + " bytes");
      Arguments a;
      std::optional<std::string>* fields[] = {&a.server, &a.database, &a.user, &a.password};
      *fields[i] = *text;
      const Call call = Run(a);
      EXPECT_EQ(call.outcome, SLOTSYNC_BAD_ARGUMENTS);
      EXPECT_EQ(call.lastError, "the " + names[i] + " is longer than 4096 bytes");
      EXPECT_FALSE(DriverWasReached());
    }
  }
  // Exactly at the limit, every text reaches the driver whole.
  const std::string at(limit, 'c');
  const Call call = Run({at, at, at, at});
  EXPECT_EQ(call.outcome, SLOTSYNC_IN_STEP) << call.lastError;
  EXPECT_EQ(Attributes(), Expected(Built::Driver(), {at, at, at, at}));
}

TEST_F(BadInput, BytesThatAreNoGbkCharacterAreRefusedWithoutShowingThem) {
  const std::vector<std::pair<Arguments, std::string>> cases = {
      {{"srv", "Shop\x81", "sa", "pw"}, "the database name holds a byte that is no GBK character"},
      {{"srv", "Shop", "\xFF}", "pw"}, "the user name holds a byte that is no GBK character"},
      {{"srv", "Shop", "sa", "\x81;x"}, "the password holds a byte that is no GBK character"},
  };
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(message);
    const Call call = Run(arguments);
    EXPECT_EQ(call.outcome, SLOTSYNC_BAD_ARGUMENTS);
    EXPECT_EQ(call.lastError, message);
    EXPECT_FALSE(DriverWasReached());
  }
}

// An empty one would let the driver fall back to a default of its own; an
// empty password is a password.
TEST_F(BadInput, EmptyServerDatabaseOrUserAreRefused) {
  const std::vector<std::pair<Arguments, std::string>> cases = {
      {{"", "Shop", "sa", "pw"}, "the server name is empty"},
      {{"srv", "", "sa", "pw"}, "the database name is empty"},
      {{"srv", "Shop", "", "pw"}, "the user name is empty"},
  };
  for (const auto& [arguments, message] : cases) {
    const Call call = Run(arguments);
    EXPECT_EQ(call.outcome, SLOTSYNC_BAD_ARGUMENTS);
    EXPECT_EQ(call.lastError, message);
    EXPECT_FALSE(DriverWasReached());
  }
  EXPECT_EQ(Run({"srv", "Shop", "sa", ""}).outcome, SLOTSYNC_IN_STEP);
  EXPECT_EQ(Attributes(), (std::vector<std::string>{"Driver=" + Built::Driver(), "Server=srv",
                                                    "Database=Shop", "UID=sa", kApp}));
}

// The texts as the caller gave them, and as the driver must receive them, in
// UTF-8.
struct Texts {
  const char* name;
  Arguments given;
  Arguments received;
};

std::vector<Texts> HardTexts() {
  return {
      {"AttributeSeparators",
       {"srv;Database=master", "Shop;UID=sa;PWD=", "sa;Trusted_Connection=yes", "p;w;d"},
       {"srv;Database=master", "Shop;UID=sa;PWD=", "sa;Trusted_Connection=yes", "p;w;d"}},
      {"Braces",
       {"{srv}", "Shop}", "}};Driver={evil}", "{p}}w}"},
       {"{srv}", "Shop}", "}};Driver={evil}", "{p}}w}"}},
      {"EqualsAndQuotes",
       {"srv=1", "'Shop'", "\"sa\"", "p'w\"d=`"},
       {"srv=1", "'Shop'", "\"sa\"", "p'w\"d=`"}},
      {"BlanksAtTheEnds", {" srv ", "Shop ", " sa", "  "}, {" srv ", "Shop ", " sa", "  "}},
      {"Gbk",
       {"srv", kDatabaseGbk, kTrailBracesGbk, kTrailBracesGbk + ";PWD=x}"},
       {"srv", kDatabaseUtf8, kTrailBracesUtf8, kTrailBracesUtf8 + ";PWD=x}"}},
      // The client's code page has the euro sign at 0x80, as Windows' does.
      {"EuroSign", {"srv", "Shop", "sa", "\x80;x"}, {"srv", "Shop", "sa", "\xE2\x82\xAC;x"}},
  };
}

std::vector<std::string> Expected(const std::string& driver, const Arguments& a,
                                  const std::vector<std::string>& extra) {
  std::vector<std::string> attributes = {"Driver=" + driver,        "Server=" + *a.server,
                                         "Database=" + *a.database, "UID=" + *a.user,
                                         "PWD=" + *a.password,      kApp};
  attributes.insert(attributes.end(), extra.begin(), extra.end());
  return attributes;
}

TEST_F(BadInput, HardTextsReachADriverNamedByItsPathExactly) {
  for (const Texts& t : HardTexts()) {
    SCOPED_TRACE(t.name);
    const Call call = Run(t.given);
    EXPECT_EQ(call.outcome, SLOTSYNC_IN_STEP) << call.lastError;
    EXPECT_EQ(Attributes(), Expected(Built::Driver(), t.received));
  }
}

// Microsoft's drivers get every value in braces; the scripted driver,
// registered under that name, reads them back with the grammar's rules.
TEST_F(BadInput, HardTextsReachADriverWithMicrosoftsNameExactly) {
  UseDriver("ODBC Driver 18 for SQL Server");
  for (const Texts& t : HardTexts()) {
    SCOPED_TRACE(t.name);
    const Call call = Run(t.given);
    EXPECT_EQ(call.outcome, SLOTSYNC_IN_STEP) << call.lastError;
    EXPECT_EQ(Attributes(), Expected("ODBC Driver 18 for SQL Server", t.received,
                                     {"Encrypt=yes", "TrustServerCertificate=yes"}));
  }
}

// FreeTDS before 1.4 reads braces its own way; what it cannot be given
// safely is refused with a message that says why, before any connection.
TEST_F(BadInput, AFreeTdsDriverGetsItsOwnFormsOrAClearRefusal) {
  UseDriver("FreeTDS");
  Call call = Run({"db01\\SHOP", "Shop;UID=x", "sa", "p}w"});
  EXPECT_EQ(call.outcome, SLOTSYNC_IN_STEP) << call.lastError;
  EXPECT_EQ(Attributes(),
            (std::vector<std::string>{"Driver=FreeTDS", "Server=db01\\SHOP", "Database=Shop;UID=x",
                                      "UID=sa", "PWD=p}w", kApp, "ClientCharset=UTF-8",
                                      "Encryption=require"}));

  call = Run({"db01,1433", "Shop", "sa", "pw"});
  EXPECT_EQ(call.outcome, SLOTSYNC_IN_STEP) << call.lastError;
  EXPECT_EQ(Attributes(), (std::vector<std::string>{"Driver=FreeTDS", "Server=db01", "Port=1433",
                                                    "Database=Shop", "UID=sa", "PWD=pw", kApp,
                                                    "ClientCharset=UTF-8", "Encryption=require"}));

  for (const Arguments& refused :
       {Arguments{"srv", "Shop", "sa", "p};PWD=x"}, Arguments{"srv", "Shop", "s a};UID=x", "pw"}}) {
    call = Run(refused);
    EXPECT_EQ(call.outcome, SLOTSYNC_FAILED_BEFORE_TRANSACTION);
    EXPECT_NE(call.lastError.find("holds \"};\", which the FreeTDS driver before version 1.4 "
                                  "cannot be given safely"),
              std::string::npos)
        << call.lastError;
    EXPECT_FALSE(DriverWasReached());
  }

  call = Run({"db01,port", "Shop", "sa", "pw"});
  EXPECT_EQ(call.outcome, SLOTSYNC_FAILED_BEFORE_TRANSACTION);
  EXPECT_EQ(call.lastError, "The server name 'db01,port' has no port number after the comma");
  EXPECT_FALSE(DriverWasReached());
}

}  // namespace
}  // namespace slotsync::e2e
