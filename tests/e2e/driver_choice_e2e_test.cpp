// Which driver the command connects with when SLOTSYNC_ODBC_DRIVER names
// none: the first SQL Server driver that unixODBC has registered, best
// first. The scripted driver stands in for them, registered under their
// names in an odbcinst.ini of the test's own.

#include <fstream>

#include "e2e_fixture.h"

namespace slotsync::e2e {
namespace {

class DriverChoice : public EndToEnd {
 protected:
  void Register(const std::vector<std::string>& names) {
    std::ofstream ini(directory_.Path() / "odbcinst.ini");
    for (const auto& name : names) ini << "[" << name << "]\nDriver=" << DriverPath() << "\n\n";
  }

  ProgramRun CommandWithoutTheVariable(const std::vector<std::string>& options = {}) const {
    EnvironmentChanges environment = Environment();
    environment["SLOTSYNC_ODBC_DRIVER"] = std::nullopt;
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
// level a driver cannot give is refused before it is reached.
TEST_P(DriverChoice, EncryptionOptionsReachEachDriverInItsOwnWords) {
  ScriptCounts(3, 3);
  Record();
  struct Case {
    std::string driver;
    std::vector<std::string> options;
    std::vector<std::string> security;  // empty: refused
  };
  const std::string d18 = "ODBC Driver 18 for SQL Server", d17 = "ODBC Driver 17 for SQL Server";
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver + " " + c.options.front());
    std::filesystem::remove(LogPath());
    Register({c.driver});
    const ProgramRun run = CommandWithoutTheVariable(c.options);
    EXPECT_EQ(run.exitCode, c.security.empty() ? 2 : 0) << run.err;
    const std::vector<std::string> attributes = Attributes();
    const auto kept = std::min(attributes.size(), c.security.size());
    EXPECT_EQ(std::vector<std::string>(attributes.end() - static_cast<std::ptrdiff_t>(kept),
                                       attributes.end()),
              c.security);
  }
}

INSTANTIATE_TEST_SUITE_P(WideDriver, DriverChoice, ::testing::Values(DriverBuild::kWide), Name);

}  // namespace
}  // namespace slotsync::e2e
