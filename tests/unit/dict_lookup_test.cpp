#include "dictionary/dict_lookup.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "scripted_connection.h"
#include "sql/sql_error.h"

namespace slotsync::dictionary {
namespace {

using testing::Column;
using testing::Rows;

constexpr char kTableNameQuery[] = "Select TableName From DataDictionary where TableTag=";
constexpr char kFieldNameQuery[] = "Select FieldName From DataDictionary where TableTag=";

class DictLookupTest : public ::testing::Test {
 protected:
  DictLookupTest()
      : connection_(std::string(sql::kSizeConnectionName),
                    std::make_unique<testing::ScriptedConnection>(script_)) {
    access_.Add(connection_);
  }
  ~DictLookupTest() override { access_.Remove(connection_); }

  testing::Script script_;
  sql::SqlConnection connection_;
  sql::SqlAccess access_;
};

TEST_F(DictLookupTest, ReadsFirstColumnOfFirstRowOrEmptyText) {
  struct Case {
    const char* what;
    sql::ResultSet result;
    std::string expected;
  };
  const Case cases[] = {
      {"one row", Column("TableName", {"StockDetail"}), "StockDetail"},
      {"two rows: the first wins", Column("TableName", {"First", "Second"}), "First"},
      {"no row", Column("TableName", {}), ""},
      {"NULL", Column("TableName", {std::nullopt}), ""},
      {"first column of several", Rows({"TableName", "Other"}, {{"T", "X"}}), "T"},
      {"GBK text", Column("TableName", {"\xB3\xDF\xC2\xEB"}), "\xB3\xDF\xC2\xEB"},
  };
  std::int32_t tag = 100;
  for (const auto& c : cases) {
    ++tag;
    script_.Answer(std::string(kTableNameQuery) + std::to_string(tag), c.result)
        .Answer(std::string(kFieldNameQuery) + std::to_string(tag), c.result);
    EXPECT_EQ(c.expected, GetDictTableName(access_, tag)) << c.what;
    EXPECT_EQ(c.expected, GetDictFieldName(access_, tag)) << c.what;
  }
}

TEST_F(DictLookupTest, WritesTagInDecimalWithItsSign) {
  std::vector<std::string> expected;
  for (const std::int32_t tag : {21, 0, -5, INT_MIN}) {
    GetDictTableName(access_, tag);
    GetDictFieldName(access_, tag);
    expected.push_back("OPEN " + std::string(kTableNameQuery) + std::to_string(tag));
    expected.push_back("OPEN " + std::string(kFieldNameQuery) + std::to_string(tag));
  }
  EXPECT_EQ("OPEN Select TableName From DataDictionary where TableTag=-5", expected[4]);
  EXPECT_EQ(expected, script_.Statements());
}

TEST_F(DictLookupTest, RunsItsQueryAnewOnEveryCall) {
  script_.Answer(std::string(kTableNameQuery) + "3", Column("TableName", {"Old"}))
      .Answer(std::string(kTableNameQuery) + "3", Column("TableName", {"New"}));
  EXPECT_EQ("Old", GetDictTableName(access_, 3));
  EXPECT_EQ("New", GetDictTableName(access_, 3));
  EXPECT_EQ(2u, script_.Statements().size());
}

TEST_F(DictLookupTest, FailingQueryPropagatesAndReleasesItsStatement) {
  script_.Fail(std::string(kTableNameQuery) + "9", "Invalid object name 'DataDictionary'.", "42S02")
      .Fail(std::string(kFieldNameQuery) + "9", "Invalid column name 'FieldName'.", "42S22");
  try {
    GetDictTableName(access_, 9);
    ADD_FAILURE() << "no failure raised";
  } catch (const sql::SqlError& error) {
    EXPECT_EQ("42S02", error.SqlState());
    EXPECT_NE(std::string(error.what()).find("Invalid object name 'DataDictionary'."),
              std::string::npos);
  }
  EXPECT_THROW(GetDictFieldName(access_, 9), sql::SqlError);
  // The connection stays usable: the next lookup runs, and closing the
  // connection touches no statement object left behind by the failures (a
  // leaked or dangling one shows up under the sanitizers).
  script_.Answer(std::string(kTableNameQuery) + "10", Column("TableName", {"T"}));
  EXPECT_EQ("T", GetDictTableName(access_, 10));
  connection_.Disconnect();
  const std::vector<std::string> expected = {
      "CONNECT",
      "OPEN Select TableName From DataDictionary where TableTag=9",
      "OPEN Select FieldName From DataDictionary where TableTag=9",
      "OPEN Select TableName From DataDictionary where TableTag=10",
      "DISCONNECT",
  };
  EXPECT_EQ(expected, script_.Log());
}

}  // namespace
}  // namespace slotsync::dictionary
