// The GBK conversions with Windows' own tables for code page 936
// (text/codepage_win32.cpp) keep the contract the POSIX build keeps with
// iconv: the same cases as the Linux unit tests.

#include <string>

#include "check.h"
#include "text/gbk.h"

using namespace slotsync::text;

int main() {
  struct RoundTrip {
    std::string gbk;
    std::u16string utf16;
  };
  const RoundTrip roundTrips[] = {
      {"", u""},
      {"Select top 1 * From Size", u"Select top 1 * From Size"},
      {"\xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2", u"正在重构数据库"},
      {"\xCC\xE1\xCA\xBE\xD0\xC5\xCF\xA2", u"提示信息"},
      {"\xCB\xCE\xCC\xE5", u"宋体"},
      {"\xA3\xAC", u"，"},
      {"\x80", u"\u20AC"},      // the euro sign of code page 936
      {"\x81\x40", u"\u4E02"},  // a trail byte below 0x80
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const RoundTrip& c : roundTrips) {
    CHECK(GbkToUtf16(c.gbk) == c.utf16);
    CHECK(Utf16ToGbk(c.utf16) == c.gbk);
    CHECK(Utf8ToGbk(GbkToUtf8(c.gbk)) == c.gbk);
  }

  struct Invalid {
    std::string gbk;
    std::u16string expected;
  };
  const Invalid invalid[] = {
      {"\xFF", u"\uFFFD"},
      {"a\xD5", u"a\uFFFD"},
      {"\xD5"
       "0b",
       u"\uFFFD"
       u"0b"},
      {"\xD5\x7F", u"\uFFFD\x7F"},
      {"\xFF\xFF"
       "OK",
       u"\uFFFD\uFFFDOK"},
  };
  for (const Invalid& c : invalid) CHECK(GbkToUtf16(c.gbk) == c.expected);

  // Characters GBK cannot hold become "?", one each; no best-fit look-alikes.
  CHECK(Utf16ToGbk(u"a\U0001F600b") == "a?b");
  CHECK(Utf16ToGbk(std::u16string(u"\xD800x")) == "?x");
  CHECK(Utf16ToGbk(u"\u0100") == "?");  // Latin A with macron: best fit would give "A"
  CHECK(Utf16ToGbk(u"\uFFFD") == "?");
  return slotsync_finish("codepage_test");
}
