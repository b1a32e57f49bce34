// Which driver the command connects with when SLOTSYNC_ODBC_DRIVER names
// none: the first SQL Server driver that unixODBC has registered, best
// first. The scripted driver stands in for them, registered under their
// names in an odbcinst.ini of the test's own.

#include <algorithm>
#include <fstream>

#include "e2e_fixture.h"

namespace slotsync::e2e {
namespace {

class DriverChoice : public EndToEnd {
 protected:
  // Each name with the scripted driver behind it under the file name of its
  // family's library (`library`, when given, for every name instead): the
  // connection judges a driver by its library, not by its name.
  void Register(const std::vector<std::string>& names, const std::string& library = {}) {
    std::ofstream ini(directory_.Path() / "odbcinst.ini");
    for (const auto& name : names) {
      ini << "[" << name << "]\nDriver=" << Library(library.empty() ? FileOf(name) : library)
          << "\n\n";
    }
  }

  static std::string FileOf(const std::string& name) {
    if (name == "ODBC Driver 18 for SQL Server") return "libmsodbcsql-18.3.so.2.1";
    if (name == "ODBC Driver 17 for SQL Server") return "libmsodbcsql-17.10.so.5.1";
    if (name == "FreeTDS") return "libtdsodbc.so";
    if (name == "SQL Server") return "sqlsrv32.dll";
    return "libsqlite3odbc.so";
  }

  std::string Library(const std::string& file) const {
    if (file == "scripted") return Built::Driver();
    const std::filesystem::path link = directory_.Path() / file;
    if (!std::filesystem::is_symlink(link)) std::filesystem::create_symlink(Built::Driver(), link);
    return link.string();
  }

  // `named`: the registered name SLOTSYNC_ODBC_DRIVER gives, when not empty.
  ProgramRun CommandWithoutTheVariable(const std::vector<std::string>& options = {},
                                       const std::string& named = {}) const {
    EnvironmentChanges environment = Environment();
    environment["SLOTSYNC_ODBC_DRIVER"] = named.empty() ? std::nullopt : std::optional(named);
    environment["FREETDSCONF"] = (directory_.Path() / "freetds.conf").string();
    std::vector<std::string> args = {Built::Command(), "--server", "db01,1433", "--database",
                                     "Shop",           "--user",   "sa"};
    args.insert(args.end(), options.begin(), options.end());
    return RunProgram(args, environment);
  }
};

TEST_P(DriverChoice, TheBestRegisteredSqlServerDriverIsChosen) {
  ScriptCounts(3, 3);
  Record();
  Register({"SQLite3", "FreeTDS", "ODBC Driver 18 for SQL Server"});
  ProgramRun run = CommandWithoutTheVariable();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Attributes(),
            (std::vector<std::string>{"Driver=ODBC Driver 18 for SQL Server", "Server=db01,1433",
                                      "Database=Shop", "UID=sa", "PWD=pw", kApp, "Encrypt=yes",
                                      "TrustServerCertificate=yes"}));

  std::filesystem::remove(LogPath());
  Register({"SQLite3", "FreeTDS"});
  run = CommandWithoutTheVariable();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Attributes(), (std::vector<std::string>{"Driver=FreeTDS", "Server=db01", "Port=1433",
                                                    "Database=Shop", "UID=sa", "PWD=pw", kApp,
                                                    "ClientCharset=UTF-8", "Encryption=require"}));
}

TEST_P(DriverChoice, NoSqlServerDriverRegisteredFailsClearly) {
  Register({"SQLite3"});
  const ProgramRun run = CommandWithoutTheVariable();
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err,
            "could not run; nothing was changed\nslotsync: No ODBC driver for SQL Server is "
            "installed; looked for \"ODBC Driver 18 for SQL Server\", \"ODBC Driver 17 for SQL "
            "Server\", \"FreeTDS\", \"SQL Server\". Install one, or name the driver to use in "
            "SLOTSYNC_ODBC_DRIVER\n" +
                kCouldNotRunNext);
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

// Each spelling of the encryption options, as each driver is told it; a
// level a driver cannot give is refused before it is reached. The family is
// the library's, whatever the name: FreeTDS registered as "SQL Server" or
// under a name of its own gets FreeTDS's keywords, and a library of no known
// family is refused every level it cannot be asked for. The library is the
// one unixODBC loads for the name: the first section of that name, whatever
// its case; Driver64 before Driver; none without a Driver=.
TEST_P(DriverChoice, EncryptionOptionsReachEachDriverInItsOwnWords) {
  ScriptCounts(3, 3);
  Record();
  struct Case {
    std::string driver;
    std::vector<std::string> options;
    std::vector<std::string> security;  // empty: refused
    std::string library = {};           // the file registered; empty: the name's family's
    std::string freetdsConf = {};       // what FREETDSCONF holds
    std::string ini = {};               // odbcinst.ini, when not one section for `driver`
  };
  const std::string d18 = "ODBC Driver 18 for SQL Server", d17 = "ODBC Driver 17 for SQL Server";
  const std::string tds = Library("libtdsodbc.so"), ms18 = Library(FileOf(d18));
  const std::vector<std::string> checked = {"-N", "mandatory", "-C"};
  const Case cases[] = {
      {d18, {"-N", "strict"}, {"Encrypt=strict"}},
      {d18, {"--encrypt=s"}, {"Encrypt=strict"}},
      {d18, {"-N"}, {"Encrypt=yes", "TrustServerCertificate=no"}},
      {d18, {"-Nm", "-C"}, {"Encrypt=yes", "TrustServerCertificate=yes"}},
      {d18, {"--encrypt", "optional"}, {"Encrypt=no", "TrustServerCertificate=no"}},
      {d17, {"--trust-server-certificate"}, {"Encrypt=yes", "TrustServerCertificate=yes"}},
      {d17, {"-N", "strict"}, {}},
      {"SQL Server", {"-No"}, {"Encrypt=no", "TrustServerCertificate=no"}},
      {"FreeTDS", {"-N", "optional"}, {"ClientCharset=UTF-8", "Encryption=request"}},
      {"FreeTDS", {"-N", "strict"}, {}},
      {"SQL Server", {"-No"}, {"ClientCharset=UTF-8", "Encryption=request"}, "libtdsodbc.so"},
      {"Shop TDS", {"-C"}, {"ClientCharset=UTF-8", "Encryption=require"}, "libtdsodbc.so.0"},
      {"FreeTDS", {"-N"}, {}},
      // FreeTDS reads no freetds.conf for a server named by Server=, so no
      // "ca file" there makes it check the certificate: not [global]'s, not
      // that of the host's own section.
      {"FreeTDS", {"-N"}, {}, "", "ca file = /c.pem\n"},
      {"FreeTDS", {"-N"}, {}, "", "[DB01]\nca file = /c.pem\n"},
      {"FreeTDS", {"-N", "-C"}, {"ClientCharset=UTF-8", "Encryption=require"}, "", "[db01]\n"},
      {d18, {"-N", "strict"}, {}, "scripted"},
      {d18, {"-N", "mandatory", "-C"}, {}, "scripted"},
      {d18, {"--encrypt", "optional"}, {"PWD=pw", kApp}, "scripted"},
      {d18,
       checked,
       {"ClientCharset=UTF-8", "Encryption=require"},
       "",
       "",
       "[" + d18 + "]\nDriver=" + tds + "\n[odbc driver 18 for sql server]\nDriver=" + ms18},
      {"Shop SQL",
       checked,
       {"Encrypt=yes", "TrustServerCertificate=yes"},
       "",
       "",
       "[Shop SQL]\nDriver=" + tds + "\nDriver64=" + ms18},
      {"Shop SQL", checked, {}, "", "", "[Shop SQL]\nDescription=no library"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver + " " + c.options.front() + " " + c.library);
    std::filesystem::remove(LogPath());
    Register({c.driver}, c.library);
    if (!c.ini.empty()) std::ofstream(directory_.Path() / "odbcinst.ini") << c.ini << "\n";
    std::ofstream(directory_.Path() / "freetds.conf") << "[global]\n" << c.freetdsConf;
    const ProgramRun run =
        CommandWithoutTheVariable(c.options, c.driver.starts_with("Shop") ? c.driver : "");
    EXPECT_EQ(run.exitCode, c.security.empty() ? 2 : 0) << run.err;
    // A refused level is refused before anything reaches the driver.
    if (c.security.empty()) {
      EXPECT_EQ(DriverEvents(), std::vector<std::string>{});
    }
    const std::vector<std::string> attributes = Attributes();
    const auto kept = std::min(attributes.size(), c.security.size());
    EXPECT_EQ(std::vector<std::string>(attributes.end() - static_cast<std::ptrdiff_t>(kept),
                                       attributes.end()),
              c.security);
  }
}

// The default mode with a library of no known family: no keyword it might
// misread, and a warning that the connection may be unencrypted.
TEST_P(DriverChoice, ADriverOfNoKnownFamilyIsWarnedOfInTheDefaultMode) {
  ScriptCounts(3, 3);
  Record();
  Register({"ODBC Driver 18 for SQL Server"}, "scripted");
  const ProgramRun run = CommandWithoutTheVariable();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Attributes().back(), kApp);
  EXPECT_NE(run.err.find("slotsync: warning: the ODBC driver \"ODBC Driver 18 for SQL Server\" "
                         "(library " +
                         Built::Driver() + ") is none whose encryption keywords"),
            std::string::npos)
      << run.err;
}

// A host calls twice in one process; between the calls its driver's name
// changes, and the second call is told the other driver's keywords.
TEST_P(DriverChoice, AHostThatCallsAgainWithAnotherDriverNameGetsThatDriversKeywords) {
  ScriptCounts(3, 3);
  Record();
  Register({"ODBC Driver 18 for SQL Server", "FreeTDS"});
  EnvironmentChanges environment = Environment();
  environment["SLOTSYNC_ODBC_DRIVER"] = "ODBC Driver 18 for SQL Server";
  environment["E2E_HOST_SECOND_DRIVER"] = "FreeTDS";
  const ProgramRun run =
      RunProgram({Built::Host(), Built::Library(), "db01,1433", "Shop", "sa", "pw"}, environment);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::string> lines = Lines(run.out);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "outcome 0"), 2) << run.out;
  EXPECT_EQ(Attributes(),
            (std::vector<std::string>{"Driver=ODBC Driver 18 for SQL Server", "Server=db01,1433",
                                      "Database=Shop", "UID=sa", "PWD=pw", kApp, "Encrypt=yes",
                                      "TrustServerCertificate=yes", "Driver=FreeTDS", "Server=db01",
                                      "Port=1433", "Database=Shop", "UID=sa", "PWD=pw", kApp,
                                      "ClientCharset=UTF-8", "Encryption=require"}));
}

INSTANTIATE_TEST_SUITE_P(WideDriver, DriverChoice, ::testing::Values(DriverBuild::kWide), Name);

}  // namespace
}  // namespace slotsync::e2e
