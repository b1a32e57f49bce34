// live_sql, the query tool of the live SQL Server suite, against the
// scripted driver: the suite's checks are only as good as what this tool
// sends and prints, and the suite itself runs only where a server is.

#include "e2e_fixture.h"

namespace slotsync::e2e {
namespace {

using LiveSql = EndToEnd;

ProgramRun RunLiveSql(const EnvironmentChanges& environment, const std::string& input) {
  return RunProgram({Built::LiveSql(), "--server", "srv", "--database", "Shop", "--user", "sa"},
                    environment, input);
}

TEST_P(LiveSql, SendsEachBatchWholeAndPrintsItsRows) {
  writer.Done("CREATE TABLE T (A int)\n")
      .Done("CREATE PROCEDURE P @X int AS\n  INSERT INTO T VALUES (@X)\n")
      .Rows("SELECT A, B, C FROM T\nORDER BY A\n", {"A", "B", "C"},
            {{"1", std::nullopt, "\xE5\xA4\x87\xE6\xB3\xA8"}, {"2", "x y", ""}});
  Save();
  const ProgramRun run = RunLiveSql(Environment(),
                                    "CREATE TABLE T (A int)\nGO\n"
                                    "CREATE PROCEDURE P @X int AS\n  INSERT INTO T VALUES (@X)\n"
                                    "go\r\n\nGO\n"
                                    "SELECT A, B, C FROM T\nORDER BY A\n");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "1\tNULL\t\xE5\xA4\x87\xE6\xB3\xA8\n2\tx y\t\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(DriverEvents(),
            (std::vector<std::string>{"CONNECT", "EXEC CREATE TABLE T (A int)\n",
                                      "EXEC CREATE PROCEDURE P @X int AS\n  INSERT INTO T VALUES "
                                      "(@X)\n",
                                      "EXEC SELECT A, B, C FROM T\nORDER BY A\n", "DISCONNECT"}));
}

TEST_P(LiveSql, StopsAtTheFirstFailingBatchWithTheServersMessage) {
  writer.Done("SELECT 1\n").Fail("DROP DATABASE [x]\n", "42000", "Cannot drop the database 'x'.");
  Save();
  const ProgramRun run = RunLiveSql(Environment(), "DROP DATABASE [x]\nGO\nSELECT 1\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "live_sql: Cannot drop the database 'x'. (SQLSTATE 42000, native error 0)\n");
  EXPECT_EQ(Statements(DriverEvents()), std::vector<std::string>{"DROP DATABASE [x]\n"});
}

TEST_P(LiveSql, WantsItsOptionsAndThePassword) {
  EnvironmentChanges environment = Environment();
  environment["SLOTSYNC_PASSWORD"] = std::nullopt;
  EXPECT_EQ(RunLiveSql(environment, "").exitCode, 64);
  EXPECT_EQ(RunProgram({Built::LiveSql(), "--server", "srv"}, Environment()).exitCode, 64);
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

INSTANTIATE_TEST_SUITE_P(WideDriver, LiveSql, ::testing::Values(DriverBuild::kWide), Name);

}  // namespace
}  // namespace slotsync::e2e
