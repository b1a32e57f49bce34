// A host program that loads the shared library with dlopen and calls
// RefreshStructEx, through the real ODBC client and unixODBC, against the
// scripted driver: the outcome and result it gets, the statements its
// callback sees, and what reached the driver.

#include <algorithm>

#include "e2e_fixture.h"
#include "rebuild/detail_table.h"

namespace slotsync::e2e {
namespace {

using scripted_odbc::Call;
using testing::FourTables;

class HostProgram : public EndToEnd {
 protected:
  HostProgram() { lockTimeoutSeconds = entry::kDefaultLockTimeoutSeconds; }

  // The host's "statement" lines, as the statements themselves in UTF-8 (the
  // host prints the GBK it is given).
  static std::vector<std::string> StatementsSeen(const ProgramRun& run,
                                                 const std::string& outcome = "0") {
    std::vector<std::string> seen;
    for (const auto& line : Lines(run.out)) {
      const std::string prefix = "statement " + outcome + " ";
      if (line.starts_with(prefix)) seen.push_back(Utf8(line.substr(prefix.size())));
    }
    return seen;
  }

  static std::vector<std::string> Tail(const ProgramRun& run, std::size_t count) {
    const std::vector<std::string> lines = Lines(run.out);
    return {lines.end() - static_cast<std::ptrdiff_t>(std::min(count, lines.size())), lines.end()};
  }

  static std::vector<std::string> Progress(const ProgramRun& run) {
    std::vector<std::string> progress;
    for (const auto& line : Lines(run.out)) {
      if (line.starts_with("progress ")) progress.push_back(line);
    }
    return progress;
  }
};

TEST_P(HostProgram, ACommittedRunReportsItsCountsAndEveryStatement) {
  FourTables().Apply(*this);
  Record();
  const ProgramRun run = Host();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Tail(run, 2),
            (std::vector<std::string>{"outcome 1",
                                      "result slotCount=3 slotColumns=2 flaggedRows=4 "
                                      "rebuiltTables=4"}));
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  EXPECT_EQ(StatementsSeen(run), Statements(events));
  EXPECT_EQ(Progress(run),
            (std::vector<std::string>{"progress 5 checking 4 tables: rights, room, dependents",
                                      "progress 0 " + std::string(entry::kRebuildingPrompt),
                                      "progress 1 ", "progress 2 10", "progress 2 101",
                                      "progress 2 450", "progress 2 600", "progress 3 "}));
}

TEST_P(HostProgram, AFailureInTheMiddleIsRolledBackAndNamesItsTable) {
  FourTables().Apply(*this);
  const std::string failing = "sp_rename 'dbo.Tmp_OrderDetail', 'OrderDetail'";
  const std::string message =
      "Either the parameter @objname is ambiguous or the claimed "
      "@objtype (OBJECT) is wrong.";
  script.Fail(failing, message, "42000");
  Record();
  const ProgramRun run = Host();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Tail(run, 3),
            (std::vector<std::string>{
                "outcome 2",
                "result slotCount=3 slotColumns=2 flaggedRows=4 rebuiltTables=0 "
                "failedTableTag=450",
                "message TableTag 450: " + message + " (SQLSTATE 42000, native error 0)"}));
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  EXPECT_EQ(std::vector<std::string>(events.end() - 5, events.end()),
            (std::vector<std::string>{"EXEC " + failing, "ROLLBACK", "SET AUTOCOMMIT ON",
                                      kReleaseShopLock, "DISCONNECT"}));
  EXPECT_EQ(StatementsSeen(run, "2"), std::vector<std::string>{failing});
}

TEST_P(HostProgram, ARefusedConnectionFailsBeforeTheTransaction) {
  writer.FailCall(Call::kConnect, "HYT00", "Login timeout expired");
  Save();
  const ProgramRun run = Host();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Tail(run, 3),
            (std::vector<std::string>{
                "outcome 3", "result slotCount=0 slotColumns=0 flaggedRows=0 rebuiltTables=0",
                "message Login timeout expired (SQLSTATE HYT00, native error 0)"}));
  EXPECT_EQ(DriverEvents(), std::vector<std::string>{"CONNECT"});
  // Nothing was sent, so the callback saw nothing.
  EXPECT_TRUE(StatementsSeen(run).empty());
  // The language the host asks for, over SLOTSYNC_LANG; the text GBK.
  for (const auto& [asked, message] : std::initializer_list<std::pair<const char*, std::string>>{
           {"zh_CN", text::Utf8ToGbk("Login timeout expired（SQLSTATE HYT00，本机错误 0）")},
           {"en", "Login timeout expired (SQLSTATE HYT00, native error 0)"}}) {
    EnvironmentChanges environment = Environment();
    environment["E2E_HOST_LANGUAGE"] = asked;
    environment["SLOTSYNC_LANG"] = std::string(asked) == "en" ? "zh_CN" : "en";
    const ProgramRun asking =
        RunProgram({Built::Host(), Built::Library(), "srv", "Shop", "sa", "pw"}, environment);
    EXPECT_EQ(asking.exitCode, 0) << asking.err;
    EXPECT_EQ(Tail(asking, 1), std::vector<std::string>{"message " + message}) << asked;
  }
}

TEST_P(HostProgram, ADryRunGoesThroughAndIsRolledBack) {
  FourTables().Apply(*this);
  Record(/*dryRun=*/true);
  const ProgramRun run = Host(/*dryRun=*/true);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Tail(run, 2),
            (std::vector<std::string>{"outcome 7",
                                      "result slotCount=3 slotColumns=2 flaggedRows=4 "
                                      "rebuiltTables=4"}));
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(events, DriverLogOf(recordedLog));
  EXPECT_EQ(std::count(events.begin(), events.end(), "COMMIT"), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), "ROLLBACK"), 1);
  EXPECT_EQ(StatementsSeen(run), Statements(events));
}

// The plan through the shared library: the writes reach the statement
// callback as planned, in the order a run sends them; the driver sees reads.
TEST_P(HostProgram, APlanReportsTheWritesAndSendsOnlyReads) {
  FourTables().Apply(*this);
  Record();
  std::vector<std::string> writes;
  for (const std::string& statement : Statements(DriverLogOf(recordedLog))) {
    // The run's session settings and its lock on the database are no writes.
    if (!statement.starts_with("Select ") && !statement.starts_with("select ") &&
        !statement.starts_with("SET ") && statement.find("applock") == std::string::npos) {
      writes.push_back(statement);
    }
  }
  const ProgramRun run = Host(/*dryRun=*/false, /*plan=*/true);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(Tail(run, 2)[0], "outcome 8");
  std::vector<std::string> planned;
  for (const auto& line : Lines(run.out)) {
    if (line.starts_with("statement 3 ") || line.starts_with("statement 4 ")) {
      planned.push_back(Utf8(line.substr(12)));
    }
  }
  EXPECT_EQ(planned, writes);
  const std::vector<std::string> events = DriverEvents();
  EXPECT_EQ(std::count(events.begin(), events.end(), "SET AUTOCOMMIT OFF"), 0);
  for (const std::string& statement : Statements(events)) {
    EXPECT_TRUE(statement.starts_with("Select ") || statement.starts_with("select ")) << statement;
  }
}

TEST_P(HostProgram, AFallenSizeCountShowsTheNoticeThroughTheCallback) {
  FourTables tables;
  tables.stockDetail.xColumns = {"x_1", "x_2", "x_3", "x_4"};
  tables.stockDetail.quantitiesAboveN = "7";
  tables.Apply(*this);
  Record();
  const ProgramRun run = Host();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // The host prints the GBK text as it got it, its carriage return as "\r".
  std::string notice = "notice 64 ";
  for (const char* c = rebuild::kSizeDecreaseNotice; *c != '\0'; ++c) {
    notice += *c == '\r' ? std::string("\\r") : std::string(1, *c);
  }
  const std::vector<std::string> lines = Lines(run.out);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), notice), 1);
  // Refused before the transaction, by the check every run makes first.
  EXPECT_NE(run.out.find("outcome 3\n"), std::string::npos);
  EXPECT_EQ(DriverEvents(), DriverLogOf(recordedLog));
}

// The Pascal unit's example program, built with Free Pascal, in place of
// the C host: it prints the statements and the result the same way.
class PascalExample : public HostProgram {
 protected:
  void SetUp() override {
    HostProgram::SetUp();
    if (Built::PascalExample().empty()) GTEST_SKIP() << "the Pascal example is not built here";
  }

  void RunAndCheck(const std::vector<std::string>& tail) const {
    const ProgramRun run =
        RunProgram({Built::PascalExample(), "srv", "Shop", "sa", "pw"}, Environment());
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<std::string> events = DriverEvents();
    EXPECT_EQ(events, DriverLogOf(recordedLog));
    EXPECT_EQ(StatementsSeen(run), Statements(events));
    EXPECT_EQ(Tail(run, 2), tail);
  }
};

TEST_P(PascalExample, InStep) {
  ScriptCounts(3, 3);
  Record();
  RunAndCheck({"outcome 0", "result slotCount=3 slotColumns=3 flaggedRows=0 rebuiltTables=0"});
}

TEST_P(PascalExample, Committed) {
  FourTables().Apply(*this);
  Record();
  RunAndCheck({"outcome 1", "result slotCount=3 slotColumns=2 flaggedRows=4 rebuiltTables=4"});
}

INSTANTIATE_TEST_SUITE_P(BothDriverBuilds, HostProgram,
                         ::testing::Values(DriverBuild::kWide, DriverBuild::kNarrowOnly), Name);
INSTANTIATE_TEST_SUITE_P(WideDriver, PascalExample, ::testing::Values(DriverBuild::kWide), Name);

}  // namespace
}  // namespace slotsync::e2e
