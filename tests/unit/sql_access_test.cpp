#include "sql/sql_access.h"

#include <gtest/gtest.h>

#include "scripted_connection.h"
#include "sql/sql_error.h"

namespace slotsync::sql {
namespace {

using testing::Rows;
using testing::Script;
using testing::ScriptedConnection;

class SqlAccessTest : public ::testing::Test {
 protected:
  Script script;
  SqlConnection connection{"SizeTessera", std::make_unique<ScriptedConnection>(script)};
  SqlAccess access;
  void SetUp() override { access.Add(connection); }
};

TEST_F(SqlAccessTest, StatementsFindTheirConnectionByNameIgnoringCase) {
  SqlQuery query(access, "sizetessera");
  EXPECT_THROW(SqlQuery(access, "Other"), SqlError);
}

TEST_F(SqlAccessTest, ConnectsOnFirstStatementOnlyThenStaysConnected) {
  SqlQuery query(access, kSizeConnectionName);
  EXPECT_TRUE(script.Log().empty());
  query.SetText("Select 1");
  query.Open();
  query.SetText("Update T Set A=1");
  query.Execute();
  EXPECT_EQ(script.Log(),
            (std::vector<std::string>{"CONNECT", "OPEN Select 1", "EXEC Update T Set A=1"}));
}

TEST_F(SqlAccessTest, StartTransactionNeedsAConnection) {
  EXPECT_THROW(connection.StartTransaction(), SqlError);
  EXPECT_TRUE(script.Log().empty());
}

TEST_F(SqlAccessTest, WalksRowsAndReadsFieldsAsTextAndInteger) {
  script.Answer("Select * From S_Modify",
                Rows({"TableTag", "TableName", "FieldFrom"},
                     {{"21", "SalesDetail", std::nullopt}, {"-5", std::nullopt, "3"}}));
  SqlQuery query(access, kSizeConnectionName);
  query.SetText("Select * From S_Modify");
  query.Open();
  EXPECT_FALSE(query.Empty());
  std::vector<std::string> seen;
  for (; !query.End(); query.Next()) {
    seen.push_back(query.FieldByName("tabletag").AsString() + "|" + query.Field(1).AsString() +
                   "|" + std::to_string(query.FieldByName("FIELDFROM").AsInteger()));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"21|SalesDetail|0", "-5||3"}));
  EXPECT_EQ(query.Field(0).Name(), "TableTag");
  EXPECT_FALSE(query.FindField("Missing").has_value());
  try {
    (void)query.FieldByName("KeyField");
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_STREQ(e.what(), "Field 'KeyField' not found");
  }
}

TEST_F(SqlAccessTest, EmptyResultIsAtEndAtOnceAndReadsAsNull) {
  script.Answer("Select top 1 * From Size", Rows({"SizeID"}, {}));
  SqlQuery query(access, kSizeConnectionName);
  query.SetText("Select top 1 * From Size");
  query.Open();
  EXPECT_TRUE(query.Empty());
  EXPECT_TRUE(query.End());
  EXPECT_EQ(query.Field(0).AsInteger(), 0);
  EXPECT_EQ(query.Field(0).AsString(), "");
}

TEST_F(SqlAccessTest, AResultOpenedByPositionRefusesNamesUntilOpenedAgain) {
  script.Answer("q", Rows({"v"}, {{"7"}}));
  SqlQuery query(access, kSizeConnectionName);
  query.SetText("q");
  query.OpenByPosition();
  EXPECT_EQ(query.Field(0).AsInteger(), 7);
  EXPECT_THROW((void)query.FindField("v"), SqlError);
  query.Open();
  EXPECT_EQ(query.FieldByName("v").AsInteger(), 7);
}

TEST_F(SqlAccessTest, IntegerReadsOfNonNumbersFail) {
  script.Answer("q", Rows({"v"}, {{"12.00"}, {" 7 "}, {"abc"}, {"99999999999"}, {"1.5x"}}));
  SqlQuery query(access, kSizeConnectionName);
  query.SetText("q");
  query.Open();
  EXPECT_EQ(query.Field(0).AsInteger(), 12);
  query.Next();
  EXPECT_EQ(query.Field(0).AsInteger(), 7);
  for (int i = 0; i < 3; ++i) {
    query.Next();
    EXPECT_THROW((void)query.Field(0).AsInteger(), SqlError);
  }
}

TEST_F(SqlAccessTest, ResultsStayReadableWhileOtherStatementsRun) {
  script.Answer("Select * From S_Modify", Rows({"TableTag"}, {{"1"}, {"2"}}));
  script.Answer("Select * From S_Modify", Rows({"TableTag"}, {{"2"}}));
  SqlQuery walk(access, kSizeConnectionName);
  SqlQuery other(access, kSizeConnectionName);
  walk.SetText("Select * From S_Modify");
  walk.Open();
  other.SetText("Select * From S_Modify");
  other.Open();
  EXPECT_EQ(walk.Field(0).AsInteger(), 1);
  walk.Next();
  EXPECT_EQ(walk.Field(0).AsInteger(), 2);
  EXPECT_EQ(other.Field(0).AsInteger(), 2);
}

TEST_F(SqlAccessTest, SetTextAndDisconnectCloseResults) {
  script.Answer("q", Rows({"v"}, {{"1"}}));
  SqlQuery query(access, kSizeConnectionName);
  query.SetText("q");
  query.Open();
  query.SetText("r");
  EXPECT_FALSE(query.IsOpen());
  EXPECT_THROW((void)query.End(), SqlError);
  query.SetText("q");
  query.Open();
  connection.Disconnect();
  EXPECT_FALSE(query.IsOpen());
  EXPECT_FALSE(connection.IsConnected());
}

TEST_F(SqlAccessTest, FailuresCarryTheClientMessageAndLeaveTheConnectionUsable) {
  script.Fail("Drop Table T", "Cannot drop the table 'T'", "42S02");
  std::vector<std::pair<std::string, StatementOutcome>> observed;
  connection.SetStatementObserver([&](const std::string& text, StatementOutcome outcome) {
    observed.emplace_back(text, outcome);
  });
  SqlQuery query(access, kSizeConnectionName);
  query.SetText("Drop Table T");
  try {
    query.Execute();
    FAIL();
  } catch (const SqlError& e) {
    EXPECT_STREQ(e.what(), "Cannot drop the table 'T'");
    EXPECT_EQ(e.SqlState(), "42S02");
    EXPECT_FALSE(e.ConnectionLost());
  }
  EXPECT_FALSE(query.ExecuteIgnoringFailure());
  query.SetText("Create Table T(A Int)");
  EXPECT_TRUE(query.ExecuteIgnoringFailure());
  const std::vector<std::pair<std::string, StatementOutcome>> expected = {
      {"Drop Table T", StatementOutcome::kFailed},
      {"Drop Table T", StatementOutcome::kFailedIgnored},
      {"Create Table T(A Int)", StatementOutcome::kOk}};
  EXPECT_EQ(observed, expected);
}

TEST_F(SqlAccessTest, AStatementThatNeverLeftIsNotReportedAsSent) {
  script.FailConnect("Login failed");
  int reported = 0;
  connection.SetStatementObserver([&](const std::string&, StatementOutcome) { ++reported; });
  SqlQuery query(access, kSizeConnectionName);
  query.SetText("Select top 1 * From Size");
  EXPECT_THROW(query.Open(), SqlError);
  EXPECT_EQ(reported, 0);
}

TEST(SqlErrorTest, KeepsEveryDiagnosticInOrder) {
  SqlError error({{"01000", 5701, "Changed database context"},
                  {"08S01", 10054, "Communication link failure"}});
  EXPECT_STREQ(error.what(), "Changed database context\nCommunication link failure");
  EXPECT_EQ(error.SqlState(), "01000");
  EXPECT_TRUE(error.ConnectionLost());
  ASSERT_EQ(error.Diagnostics().size(), 2u);
  EXPECT_EQ(error.Diagnostics()[1].nativeError, 10054);
}

}  // namespace
}  // namespace slotsync::sql
