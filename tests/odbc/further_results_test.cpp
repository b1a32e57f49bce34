// How Query and Execute handle the results after the first. SQLite's driver
// runs one statement per call (SqliteOdbcTest.SqliteRunsOneStatementPerCall),
// so the further results a SQL Server batch has are stood in for by real
// statements run on the same statement handle, through
// OdbcConnection::SetFurtherResultsForTesting; their outcomes, failures and
// diagnostics come from the driver as they would for a batch.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sql/odbc_connection.h"
#include "sql/sql_error.h"

namespace slotsync::sql {
namespace {

namespace fs = std::filesystem;

class FurtherResultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    directory_ = fs::temp_directory_path() /
                 ("slotsync-odbc-" + std::to_string(random()) + "-" + std::to_string(random()));
    fs::create_directories(directory_);
    connection_.emplace(ConnectionSettings{.server = "",
                                           .database = (directory_ / "size.db").string(),
                                           .user = "",
                                           .password = "",
                                           .driver = "SQLite3"});
    connection_->Connect();
    connection_->Execute("create table Sizes (Id integer)");
  }

  void TearDown() override {
    connection_.reset();
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }

  // Makes the statements after the first: `texts[i]` becomes result i + 2.
  // Records which results were asked for.
  void FollowWith(std::vector<std::string> texts) {
    asked_.clear();
    connection_->SetFurtherResultsForTesting(
        [this, texts = std::move(texts)](int resultsSoFar) -> std::optional<std::string> {
          asked_.push_back(resultsSoFar);
          const auto index = static_cast<std::size_t>(resultsSoFar - 1);
          if (index < texts.size()) return texts[index];
          return std::nullopt;
        });
  }

  std::string Ids() {
    connection_->SetFurtherResultsForTesting(nullptr);
    std::string ids;
    for (const auto& row : connection_->Query("select Id from Sizes order by Id").rows) {
      if (!ids.empty()) ids += ',';
      ids += row.at(0).value_or("NULL");
    }
    return ids;
  }

  fs::path directory_;
  std::optional<OdbcConnection> connection_;
  std::vector<int> asked_;
};

TEST_F(FurtherResultsTest, ExecuteRunsEveryResult) {
  FollowWith({"insert into Sizes values (2)", "update Sizes set Id = 30 where Id = 99",
              "insert into Sizes values (3)"});
  connection_->Execute("insert into Sizes values (1)");
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), asked_);
  EXPECT_EQ("1,2,3", Ids());
}

TEST_F(FurtherResultsTest, ExecuteRaisesTheFailureOfALaterResult) {
  FollowWith({"insert into Sizes values (2)", "insert into NoSuchTable values (3)",
              "insert into Sizes values (4)"});
  try {
    connection_->Execute("insert into Sizes values (1)");
    FAIL() << "a batch that fails after its first result passed as success";
  } catch (const SqlError& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("no such table: NoSuchTable"))
        << error.what();
    EXPECT_EQ("HY000", error.SqlState());
  }
  // Nothing after the failure runs; what ran before it stays (no transaction).
  EXPECT_EQ((std::vector<int>{1, 2}), asked_);
  EXPECT_EQ("1,2", Ids());
  // The connection goes on working.
  connection_->Execute("insert into Sizes values (5)");
  EXPECT_EQ("1,2,5", Ids());
}

TEST_F(FurtherResultsTest, QueryRaisesTheFailureOfAResultAfterItsRows) {
  connection_->Execute("insert into Sizes values (1)");
  FollowWith({"select * from NoSuchTable"});
  try {
    connection_->Query("select Id from Sizes");
    FAIL() << "a failure after the rows passed as success";
  } catch (const SqlError& error) {
    EXPECT_NE(std::string::npos, std::string(error.what()).find("no such table: NoSuchTable"))
        << error.what();
  }
}

TEST_F(FurtherResultsTest, QueryReadsTheFirstResultWithColumns) {
  // A batch that counts rows before it selects, and goes on after.
  FollowWith({"insert into Sizes values (2)", "select Id * 10 as Tens from Sizes order by Id",
              "insert into Sizes values (3)", "select 'not this one'"});
  const ResultSet result = connection_->Query("insert into Sizes values (1)");
  EXPECT_EQ((std::vector<std::string>{"Tens"}), result.columns);
  ASSERT_EQ(2u, result.rows.size());
  EXPECT_EQ("10", result.rows[0].at(0));
  EXPECT_EQ("20", result.rows[1].at(0));
  // The rest of the batch ran too.
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5}), asked_);
  EXPECT_EQ("1,2,3", Ids());
}

TEST_F(FurtherResultsTest, QueryRaisesAFailureBeforeAnyColumns) {
  FollowWith({"insert into NoSuchTable values (2)", "select 1"});
  EXPECT_THROW(connection_->Query("insert into Sizes values (1)"), SqlError);
  EXPECT_EQ((std::vector<int>{1}), asked_);
}

TEST_F(FurtherResultsTest, QueryWithoutAnyColumnsIsAnEmptyResult) {
  FollowWith({"insert into Sizes values (2)"});
  const ResultSet result = connection_->Query("insert into Sizes values (1)");
  EXPECT_TRUE(result.columns.empty());
  EXPECT_TRUE(result.rows.empty());
  EXPECT_EQ("1,2", Ids());
}

TEST_F(FurtherResultsTest, ALaterFailureInsideATransactionLeavesItOpen) {
  connection_->StartTransaction();
  FollowWith({"insert into NoSuchTable values (2)"});
  EXPECT_THROW(connection_->Execute("insert into Sizes values (1)"), SqlError);
  connection_->SetFurtherResultsForTesting(nullptr);
  connection_->Execute("insert into Sizes values (3)");
  connection_->Rollback();
  EXPECT_EQ("", Ids());
}

}  // namespace
}  // namespace slotsync::sql
