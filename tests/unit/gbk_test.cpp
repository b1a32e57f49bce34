#include "text/gbk.h"

#include <gtest/gtest.h>

#include "rebuild/rebuild_steps.h"
#include "text/case_fold.h"

namespace slotsync::text {
namespace {

// "正在重构数据库" in GBK and in UTF-16.
const std::string kGbkRebuilding = "\xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2";
const std::u16string kUtf16Rebuilding = u"正在重构数据库";

TEST(Gbk, RoundTripsChineseAndAscii) {
  struct Case {
    std::string gbk;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"", u""},
      {"Select top 1 * From Size", u"Select top 1 * From Size"},
      {kGbkRebuilding, kUtf16Rebuilding},
      {"\xCC\xE1\xCA\xBE\xD0\xC5\xCF\xA2", u"提示信息"},
      {"x_1=" + kGbkRebuilding + ";", u"x_1=正在重构数据库;"},
      {"\x80", u"\u20AC"},                                   // the euro sign of code page 936
      {"\x81\x40", u"\u4E02"},                               // a trail byte below 0x80
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},  // embedded zero survives
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.utf16, GbkToUtf16(c.gbk));
    EXPECT_EQ(c.gbk, Utf16ToGbk(c.utf16));
    EXPECT_EQ(c.gbk, Utf8ToGbk(GbkToUtf8(c.gbk)));
  }
}

TEST(Gbk, InvalidInputFollowsTheReplacementRule) {
  struct Case {
    std::string gbk;
    std::u16string expected;
  };
  const Case cases[] = {
      {"\xFF", u"\uFFFD"},    // never a lead byte
      {"a\xD5", u"a\uFFFD"},  // lead byte cut off at the end
      {"\xD5"
       "0b",
       u"\uFFFD"
       u"0b"},                      // invalid trail: the ASCII after it survives
      {"\xD5\x7F", u"\uFFFD\x7F"},  // 0x7F is no trail byte
      {"\xFF\xFF"
       "OK",
       u"\uFFFD\uFFFDOK"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, GbkToUtf16(c.gbk)) << c.gbk;
}

TEST(Gbk, UnmappableUnicodeBecomesQuestionMarks) {
  EXPECT_EQ("a?b", Utf16ToGbk(u"a\U0001F600b"));            // a pair is one character
  EXPECT_EQ("?x", Utf16ToGbk(std::u16string(u"\xD800x")));  // lone high surrogate
  EXPECT_EQ("x?", Utf16ToGbk(std::u16string(u"x\xDC00")));  // lone low surrogate
  EXPECT_EQ("?", Utf8ToGbk("\xC3"));                        // cut-off UTF-8
  EXPECT_EQ("?A", Utf8ToGbk("\xC0\x81"
                            "A")
                      .substr(1));  // overlong form, byte by byte
}

TEST(Gbk, Utf8RoundTrip) {
  EXPECT_EQ("正在重构数据库", GbkToUtf8(kGbkRebuilding));
  EXPECT_EQ(kGbkRebuilding, Utf8ToGbk("正在重构数据库"));
  EXPECT_EQ(u"\U0001F600", Utf8ToUtf16("\xF0\x9F\x98\x80"));
  EXPECT_EQ("\xF0\x9F\x98\x80", Utf16ToUtf8(u"\U0001F600"));
}

// 乚 is 0x81 0x5D: its trail byte has the value of "]", but it is no "]".
TEST(Gbk, AsciiCharactersAreFoundAsCharactersNotBytes) {
  const struct {
    std::string_view text;
    char c;
    std::size_t from, at;
  } cases[] = {
      {"[\x81]]", ']', 0, 3},       {"\x81\\", '\\', 0, std::string_view::npos},
      {"a\x81]b]", ']', 1, 4},      {"\x81", ']', 0, std::string_view::npos},
      {"\x81 ]", ']', 0, 2},        {"]", ']', 1, std::string_view::npos},
  };
  for (const auto& c : cases) EXPECT_EQ(c.at, FindAsciiCharacter(c.text, c.c, c.from)) << c.text;
  EXPECT_EQ(2u, GbkCharacterLength("a\x81]", 1));
  EXPECT_EQ(1u, GbkCharacterLength("a\x81 ", 1));
  const auto columns = rebuild::ColumnsOf("Create Table T([\x81]] Int Null,[Qty] Int)");
  ASSERT_EQ(2u, columns.size());
  EXPECT_EQ("\x81]", columns[0].name);
}

TEST(CaseFold, FoldsAsciiLettersButNeverInsideADoubleByteCharacter) {
  struct Case {
    std::string a;
    std::string b;
    bool equal;
  };
  const Case cases[] = {
      {"TableTag", "tabletag", true},
      {"SizeStr", "SIZESTR", true},
      {"x_1", "X_1", true},
      {"a", "ab", false},
      {"[", "{", false},  // 0x5B and 0x7B differ by 32 but are no letters
      // 0x81 0x41 and 0x81 0x61 are two different characters whose trail
      // bytes look like "A" and "a".
      {"\x81\x41", "\x81\x61", false},
      {"\x81\x41"
       "B",
       "\x81\x41"
       "b",
       true},
      {kGbkRebuilding, kGbkRebuilding, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.equal, EqualsIgnoringAsciiCase(c.a, c.b)) << c.a << " / " << c.b;
  }
}

}  // namespace
}  // namespace slotsync::text
