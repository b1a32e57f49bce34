#include "sql/quoting.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quoted_reader.h"
#include "text/gbk.h"

namespace slotsync::sql {
namespace {

using slotsync::testing::EvaluatePieces;
using slotsync::testing::ReadDelimited;
using slotsync::testing::SqlcmdFindsIn;
using text::GbkToUtf16;

// Every double-byte GBK character whose trail byte is "[", "\" or "]",
// followed by what would run if the quoting stopped there.
std::vector<std::string> HalfBracketNames() {
  std::vector<std::string> names;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (const char trail : {'[', '\\', ']'}) {
      names.push_back(std::string{static_cast<char>(lead), trail} +
                      "] On dbo.T(Qty);Exec sp_addsrvrolemember N'm',N'sysadmin';--");
    }
  }
  return names;
}

TEST(Quoting, ANameOrLiteralEndsWhereTheServerReadsItsEnd) {
  for (const std::string& name : HalfBracketNames()) {
    // A lead byte whose pair has no character is written as "?".
    std::u16string wanted = GbkToUtf16(name);
    if (wanted[0] == text::kReplacementChar) wanted[0] = u'?';
    EXPECT_EQ(ReadDelimited(GbkToUtf16(QuotedName(name)), u"[", u']'), wanted) << name;
    EXPECT_EQ(ReadDelimited(GbkToUtf16(UnicodeLiteral(name)), u"N'", u'\''), wanted) << name;
    EXPECT_EQ(ReadDelimited(GbkToUtf16(Literal(name)), u"'", u'\''), wanted) << name;
    // Inside a literal, as "Disable Trigger" inside Exec(N'...') has it.
    const std::string nested = UnicodeLiteral("Disable Trigger [dbo]." + QuotedName(name));
    const auto inner = ReadDelimited(GbkToUtf16(nested), u"N'", u'\'');
    ASSERT_TRUE(inner) << name;
    EXPECT_EQ(ReadDelimited(inner->substr(22), u"[", u']'), wanted) << name;
  }
  EXPECT_EQ(QuotedName("a]b"), "[a]]b]");
  EXPECT_EQ(UnicodeLiteral("it's"), "N'it''s'");
  EXPECT_EQ(RaisErrorText("it's 100% \x81]"), "it''s 100 \x81]");
}

TEST(Quoting, ScriptTextsHoldNothingSqlcmdReads) {
  struct Case {
    std::string statement;
    bool inert;
  };
  const Case cases[] = {
      {"Grant SELECT On [dbo].[T] To [ShopRole]", true},
      {"If Object_ID(N'[dbo].[t]',N'TR') Is Null Exec(N'Create Trigger t On T After Insert As "
       "Select ''x''')",
       true},
      {"Create Index [\x81]] On [dbo].[T] ([Qty])", true},
      {"Grant SELECT On [dbo].[T] To [O'Brien]", false},
      {"Exec(N'Create Trigger t On T As\r\nSelect 1\r\nGO\r\n!! rm -rf /\r\n:r evil.sql')", false},
      {"Exec sys.sp_addextendedproperty @name=N'MS_Description', @value=N'$(SQLCMDPASSWORD)'",
       false},
      {"Alter Table [dbo].[T] Add Constraint [C] Check ([Note]<>'a\\''x')", false},
      {"Create Index [a/*] On [dbo].[T] ([Qty])", false},
      {"Select 'open", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSqlcmdInert(c.statement), c.inert) << c.statement;
    const std::string script = ForSqlcmd(c.statement);
    EXPECT_EQ(SqlcmdFindsIn(script), "") << script;
    if (c.inert) {
      EXPECT_EQ(script, c.statement);
      continue;
    }
    // Through a variable, the server runs the very same text.
    const std::string declare = "Declare @Statement NVarchar(max)=";
    const std::string exec = "\nExec(@Statement)";
    ASSERT_TRUE(script.starts_with(declare) && script.ends_with(exec)) << script;
    EXPECT_EQ(EvaluatePieces(GbkToUtf16(
                  script.substr(declare.size(), script.size() - declare.size() - exec.size()))),
              GbkToUtf16(c.statement))
        << script;
  }
  EXPECT_EQ(SqlcmdLiteral("a\r\n$(b)"),
            "Convert(NVarchar(max),N'a')+NChar(13)+NChar(10)\n+NChar(36)+N'(b)'");
  EXPECT_EQ(SqlcmdLiteral(""), "Convert(NVarchar(max),N'')");
  EXPECT_EQ(SqlcmdInertText("shop\n:r x $(P)"), "shop\\x0A:r x $\\x28P)");
}

}  // namespace
}  // namespace slotsync::sql
