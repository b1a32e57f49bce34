// The ODBC client (src/sql/odbc_connection.cpp) through unixODBC against the
// scripted driver, in both of its builds: long values that arrive in pieces,
// NULLs, failures with their SQLSTATE, batches with a failing later result,
// and the transaction calls as the driver sees them.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "e2e_support.h"
#include "sql/odbc_connection.h"
#include "sql/sql_error.h"
#include "text/gbk.h"

namespace slotsync::e2e {
namespace {

using scripted_odbc::Call;
using scripted_odbc::ScenarioWriter;

enum class Build { kWide, kNarrowOnly };

class OdbcClient : public ::testing::TestWithParam<Build> {
 protected:
  void SetUp() override {
    // The narrow build gets its texts in the code set of the locale, which
    // the driver reads as UTF-8.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    setenv("SCRIPTED_ODBC_SCENARIO", (directory_.Path() / "scenario.txt").c_str(), 1);
    setenv("SCRIPTED_ODBC_LOG", LogPath().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("SCRIPTED_ODBC_SCENARIO");
    unsetenv("SCRIPTED_ODBC_LOG");
  }

  std::filesystem::path LogPath() const { return directory_.Path() / "driver.log"; }

  // A connected client over `scenario`.
  std::unique_ptr<sql::OdbcConnection> Connect(const ScenarioWriter& scenario) {
    scenario.Save((directory_.Path() / "scenario.txt").string());
    sql::ConnectionSettings settings;
    settings.server = "srv";
    settings.database = "Shop";
    settings.user = "sa";
    settings.password = "pw";
    settings.driver = GetParam() == Build::kWide ? Built::Driver() : Built::NarrowDriver();
    auto client = std::make_unique<sql::OdbcConnection>(settings);
    client->Connect();
    return client;
  }

  // The driver's log after the connect and its attributes.
  std::vector<std::string> Events() const {
    std::vector<std::string> events;
    for (const auto& line : ReadDriverLog(LogPath())) {
      if (line != "CONNECT" && !line.starts_with("ATTRIBUTE ")) events.push_back(line);
    }
    return events;
  }

  ScratchDirectory directory_;
};

// "尺码" (size) in UTF-8 and GBK.
const std::string kSizeUtf8 = "\xE5\xB0\xBA\xE7\xA0\x81";
const std::string kSizeGbk = "\xB3\xDF\xC2\xEB";

std::string Repeat(const std::string& text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

TEST_P(OdbcClient, LongValuesAndNamesArriveWholeAcrossPieces) {
  // Far beyond the client's 4096-character buffer, Chinese and ASCII mixed so
  // that a piece can end inside a character.
  const std::string value = "a" + Repeat(kSizeUtf8, 3000) + Repeat("x", 5001) + kSizeUtf8;
  const std::string name = Repeat("Column", 50) + kSizeUtf8;
  auto client = Connect(ScenarioWriter().Rows("Select Long", {name, "short"}, {{value, "1"}}));
  const sql::ResultSet result = client->Query("Select Long");
  ASSERT_EQ(result.columns.size(), 2u);
  EXPECT_EQ(result.columns[0], Repeat("Column", 50) + kSizeGbk);
  ASSERT_EQ(result.rows.size(), 1u);
  ASSERT_TRUE(result.rows[0][0].has_value());
  EXPECT_EQ(result.rows[0][0]->size(), 1 + 3000 * 4 + 5001 + 4);
  EXPECT_EQ(*result.rows[0][0], "a" + Repeat(kSizeGbk, 3000) + Repeat("x", 5001) + kSizeGbk);
  EXPECT_EQ(result.rows[0][1], "1");
}

TEST_P(OdbcClient, NullsIntegersAndEmptyTexts) {
  auto client = Connect(ScenarioWriter().Rows(
      "Select Values", {"", "b", "c", "d"},
      {{"1", std::nullopt, "-5", ""}, {std::nullopt, std::nullopt, "0", kSizeUtf8}}));
  const sql::ResultSet result = client->Query("Select Values");
  EXPECT_EQ(result.columns, (std::vector<std::string>{"", "b", "c", "d"}));
  EXPECT_EQ(result.rows,
            (std::vector<std::vector<sql::Value>>{{"1", std::nullopt, "-5", ""},
                                                  {std::nullopt, std::nullopt, "0", kSizeGbk}}));
  // Read by position: the same rows, as many columns, no names asked for.
  const sql::ResultSet byPosition = client->QueryByPosition("Select Values");
  EXPECT_EQ(byPosition.columns, std::vector<std::string>(4));
  EXPECT_EQ(byPosition.rows, result.rows);
}

TEST_P(OdbcClient, StatementsArriveAsTheCharactersTheyHold) {
  const std::string statement = "Update T Set Memo='" + kSizeUtf8 + "' Where ID=1";
  auto client = Connect(ScenarioWriter().Done(statement, 1));
  client->Execute("Update T Set Memo='" + kSizeGbk + "' Where ID=1");
  EXPECT_EQ(Events(), std::vector<std::string>{"EXEC " + statement});
}

TEST_P(OdbcClient, AFailureCarriesItsStateAndMessage) {
  const std::string message = "Invalid object name '" + kSizeUtf8 + "'.";
  auto client = Connect(ScenarioWriter().Fail("Select * From T", "42S02", message));
  try {
    client->Query("Select * From T");
    ADD_FAILURE() << "no failure";
  } catch (const sql::SqlError& e) {
    EXPECT_EQ(e.SqlState(), "42S02");
    EXPECT_EQ(std::string(e.what()),
              "Invalid object name '" + kSizeGbk + "'. (SQLSTATE 42S02, native error 0)");
    EXPECT_FALSE(e.ConnectionLost());
  }
  // An unscripted statement fails and says so.
  try {
    client->Query("Select 2");
    ADD_FAILURE() << "no failure";
  } catch (const sql::SqlError& e) {
    EXPECT_EQ(e.SqlState(), "42000");
    EXPECT_NE(std::string(e.what()).find("no answer scripted for this statement: Select 2"),
              std::string::npos);
  }
}

TEST_P(OdbcClient, ABatchWhoseLaterResultFailsFailsTheCall) {
  auto client = Connect(ScenarioWriter().Raw(
      "statement Exec P\nrows-affected 1\nmore\nfail 23000 the second statement failed\n"
      "statement Select With Count\nrows-affected 2\nmore\ncolumns n\nrow 7\nmore\n"
      "fail 40001 deadlock victim\n"
      "statement Select After Count\nrows-affected 2\nmore\ncolumns n\nrow 8\n"));
  EXPECT_THROW(
      {
        try {
          client->Execute("Exec P");
        } catch (const sql::SqlError& e) {
          EXPECT_EQ(e.SqlState(), "23000");
          throw;
        }
      },
      sql::SqlError);
  EXPECT_THROW(client->Query("Select With Count"), sql::SqlError);
  // The rows are in the first result that has columns.
  const sql::ResultSet result = client->Query("Select After Count");
  EXPECT_EQ(result.rows, (std::vector<std::vector<sql::Value>>{{"8"}}));
}

TEST_P(OdbcClient, AnUpdateThatTouchedNoRowIsNoFailure) {
  auto client = Connect(ScenarioWriter().Done("Update T Set A=1 Where 1=0", 0));
  EXPECT_NO_THROW(client->Execute("Update T Set A=1 Where 1=0"));
}

TEST_P(OdbcClient, TransactionCallsAsTheDriverSeesThem) {
  auto client = Connect(ScenarioWriter().Done("Update T Set A=1"));
  client->StartTransaction();
  client->Execute("Update T Set A=1");
  client->Commit();
  client->StartTransaction();
  client->Rollback();
  client->Disconnect();
  EXPECT_FALSE(client->IsConnected());
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"SET ISOLATION READ COMMITTED", "SET AUTOCOMMIT OFF",
                                      "EXEC Update T Set A=1", "COMMIT", "SET AUTOCOMMIT ON",
                                      "SET ISOLATION READ COMMITTED", "SET AUTOCOMMIT OFF",
                                      "ROLLBACK", "SET AUTOCOMMIT ON", "DISCONNECT"}));
}

// The commit took; that autocommit cannot be switched back on afterwards
// does not undo it, and is no reason to report it as failed.
TEST_P(OdbcClient, ACommitThatTookStaysCommittedWhenAutocommitStaysOff) {
  ScenarioWriter scenario;
  scenario.Done("Update T Set A=1").FailCall(Call::kEndTransaction, "HY000", "attribute refused");
  auto client = Connect(scenario);
  client->StartTransaction();
  client->Execute("Update T Set A=1");
  EXPECT_NO_THROW(client->Commit());
  const std::vector<sql::Diagnostic> warnings = client->TakeWarnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_TRUE(warnings[0].message.starts_with(
      "committed, but autocommit could not be switched back on: attribute refused"))
      << warnings[0].message;
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"SET ISOLATION READ COMMITTED", "SET AUTOCOMMIT OFF",
                                      "EXEC Update T Set A=1", "COMMIT", "SET AUTOCOMMIT ON"}));
}

TEST_P(OdbcClient, ACommitLostWithTheLinkSaysSoAndRollsBackWhatIsLeft) {
  ScenarioWriter scenario;
  scenario.Done("Update T Set A=1").FailCall(Call::kCommit, "08S01", "Communication link failure");
  auto client = Connect(scenario);
  client->StartTransaction();
  client->Execute("Update T Set A=1");
  try {
    client->Commit();
    ADD_FAILURE() << "no failure";
  } catch (const sql::SqlError& e) {
    EXPECT_TRUE(e.ConnectionLost());
    EXPECT_EQ(std::string(e.what()), "Communication link failure (SQLSTATE 08S01, native error 0)");
  }
  EXPECT_EQ(Events(), (std::vector<std::string>{"SET ISOLATION READ COMMITTED",
                                                "SET AUTOCOMMIT OFF", "EXEC Update T Set A=1",
                                                "COMMIT", "ROLLBACK", "SET AUTOCOMMIT ON"}));
}

TEST_P(OdbcClient, AFailedRollbackLeavesAutocommitOffForTheDisconnectToSettle) {
  ScenarioWriter scenario;
  scenario.Done("Update T Set A=1").FailCall(Call::kRollback, "HY000", "no rollback now", true);
  auto client = Connect(scenario);
  client->StartTransaction();
  client->Execute("Update T Set A=1");
  // The first rollback fails; the client tries once more before it gives
  // autocommit back, so that no work is committed that nobody committed.
  EXPECT_THROW(client->Rollback(), sql::SqlError);
  client->Disconnect();
  EXPECT_EQ(Events(),
            (std::vector<std::string>{"SET ISOLATION READ COMMITTED", "SET AUTOCOMMIT OFF",
                                      "EXEC Update T Set A=1", "ROLLBACK", "ROLLBACK",
                                      "SET AUTOCOMMIT ON", "DISCONNECT"}));
}

TEST_P(OdbcClient, DisconnectingInsideATransactionRollsItBackFirst) {
  auto client = Connect(ScenarioWriter().Done("Update T Set A=1"));
  client->StartTransaction();
  client->Execute("Update T Set A=1");
  // Like SQL Server's drivers, the scripted one keeps a link whose
  // transaction holds work (25000); the client rolls it back and closes.
  try {
    client->Disconnect();
    ADD_FAILURE() << "no failure";
  } catch (const sql::SqlError& e) {
    EXPECT_EQ(e.SqlState(), "25000");
  }
  EXPECT_FALSE(client->IsConnected());
  EXPECT_EQ(Events(), (std::vector<std::string>{"SET ISOLATION READ COMMITTED",
                                                "SET AUTOCOMMIT OFF", "EXEC Update T Set A=1",
                                                "DISCONNECT", "ROLLBACK", "DISCONNECT"}));
}

TEST_P(OdbcClient, AFailingConnectIsReportedWithTheDriversMessage) {
  ScenarioWriter scenario;
  scenario.FailCall(Call::kConnect, "28000", "Login failed for user 'sa'.");
  try {
    Connect(scenario);
    ADD_FAILURE() << "connected";
  } catch (const sql::SqlError& e) {
    EXPECT_EQ(e.SqlState(), "28000");
    EXPECT_EQ(std::string(e.what()),
              "Login failed for user 'sa'. (SQLSTATE 28000, native error 0)");
  }
}

INSTANTIATE_TEST_SUITE_P(BothDriverBuilds, OdbcClient,
                         ::testing::Values(Build::kWide, Build::kNarrowOnly),
                         [](const ::testing::TestParamInfo<Build>& info) {
                           return info.param == Build::kWide ? "WideDriver" : "NarrowDriver";
                         });

}  // namespace
}  // namespace slotsync::e2e
