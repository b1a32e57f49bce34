#include "sql/statement_template.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>

namespace slotsync::sql {
namespace {

TEST(StatementTemplate, FillsTextsAndIntegers) {
  struct Case {
    std::string expected;
    std::string actual;
  };
  const Case cases[] = {
      {"Update S_Modify Set Modified=0 Where TableTag=-1",
       Format("Update S_Modify Set Modified=0 Where TableTag=%d", -1)},
      {"x_2147483647", Format("x_%d", INT_MAX)},
      {"x_-2147483648", Format("x_%d", INT_MIN)},
      {"Name Not Like 'x_%'", Format("Name Not Like 'x_%%'")},
      {"Insert into a(b) Select b from c ",
       Format("Insert into %s(%s) Select %s from %s ", "a", "b", "b", "c")},
      // Texts go in unchanged, even when they hold "%" themselves.
      {"T %d %s", Format("%s", std::string("T %d %s"))},
      {"", Format("%s", "")},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.actual);
}

TEST(StatementTemplate, MismatchedArgumentsAreProgrammingErrors) {
  EXPECT_THROW(Format("%s %s", "one"), std::logic_error);
  EXPECT_THROW(Format("%s", "one", "two"), std::logic_error);
  EXPECT_THROW(Format("%d", "text"), std::logic_error);
  EXPECT_THROW(Format("%s", 5), std::logic_error);
  EXPECT_THROW(Format("%x", 5), std::logic_error);
  EXPECT_THROW(Format("100%"), std::logic_error);
  EXPECT_THROW(Format("plain", 1), std::logic_error);
}

}  // namespace
}  // namespace slotsync::sql
