#include "dictionary/size_slot_count.h"

#include "run_fixture.h"
#include "sql/sql_error.h"

namespace slotsync::testing {
namespace {

TEST(GetSizeSlotCount, TakesTheLargestGroup) {
  struct Case {
    std::vector<std::vector<sql::Value>> rows;
    std::int32_t expected;
  };
  const Case cases[] = {
      {{}, 0},
      {{{"8", "1"}, {"12", "2"}, {"12", "3"}}, 12},
      {{{"3", "1"}, {std::nullopt, "2"}}, 3},
  };
  for (const auto& c : cases) {
    Script script;
    script.Answer(kSlotCountSql, Rows({"", "SizeGroupID"}, c.rows));
    sql::SqlConnection connection("SizeTessera", std::make_unique<ScriptedConnection>(script));
    sql::SqlAccess access;
    access.Add(connection);
    EXPECT_EQ(dictionary::GetSizeSlotCount(access), c.expected);
    EXPECT_EQ(script.Statements(), std::vector<std::string>{"OPEN " + kSlotCountSql});
  }
}

TEST(GetSizeSlotCount, ReleasesItsStatementWhenTheQueryFails) {
  Script script;
  script.Fail(kSlotCountSql, "Invalid object name 'SizeGroupSize'.");
  {
    sql::SqlConnection connection("SizeTessera", std::make_unique<ScriptedConnection>(script));
    sql::SqlAccess access;
    access.Add(connection);
    EXPECT_THROW(dictionary::GetSizeSlotCount(access), sql::SqlError);
    // The connection's release would abort if the statement were still attached.
  }
  EXPECT_EQ(script.Log().back(), "RELEASE");
}

}  // namespace
}  // namespace slotsync::testing
