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

  ProgramRun CommandWithoutTheVariable() const {
    EnvironmentChanges environment = Environment();
    environment["SLOTSYNC_ODBC_DRIVER"] = std::nullopt;
    return RunProgram(
        {Built::Command(), "--server", "db01,1433", "--database", "Shop", "--user", "sa"},
        environment);
  }
};

TEST_P(DriverChoice, TheBestRegisteredSqlServerDriverIsChosen) {
  ScriptCounts(3, 3);
  Record();
  Register({"SQLite3", "FreeTDS", "ODBC Driver 18 for SQL Server"});
  ProgramRun run = CommandWithoutTheVariable();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Attributes(), (std::vector<std::string>{"Driver=ODBC Driver 18 for SQL Server",
                                                    "Server=db01,1433", "Database=Shop", "UID=sa",
                                                    "PWD=pw", "TrustServerCertificate=yes"}));

  std::filesystem::remove(LogPath());
  Register({"SQLite3", "FreeTDS"});
  run = CommandWithoutTheVariable();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Attributes(),
            (std::vector<std::string>{"Driver=FreeTDS", "Server=db01", "Port=1433", "Database=Shop",
                                      "UID=sa", "PWD=pw", "ClientCharset=UTF-8"}));
}

TEST_P(DriverChoice, NoSqlServerDriverRegisteredFailsClearly) {
  Register({"SQLite3"});
  const ProgramRun run = CommandWithoutTheVariable();
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err,
            "could not run; nothing was changed\nslotsync: No ODBC driver for SQL Server is "
            "installed; looked for \"ODBC Driver 18 for SQL Server\", \"ODBC Driver 17 for SQL "
            "Server\", \"FreeTDS\", \"SQL Server\". Install one, or name the driver to use in "
            "SLOTSYNC_ODBC_DRIVER\n");
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

INSTANTIATE_TEST_SUITE_P(WideDriver, DriverChoice, ::testing::Values(DriverBuild::kWide), Name);

}  // namespace
}  // namespace slotsync::e2e
