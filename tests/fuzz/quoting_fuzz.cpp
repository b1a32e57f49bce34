// Fuzzes the quoting of names and literals and the writing of script texts:
// the input is a text as the catalog could hold it, GBK or not. Whatever it
// holds, the server must read each quoted form back as exactly that text,
// ending where the form ends, and sqlcmd must find nothing of its own in
// what a script holds.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "quoted_reader.h"
#include "sql/quoting.h"
#include "text/gbk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace sql = slotsync::sql;
  using slotsync::text::GbkToUtf16;
  using slotsync::text::GbkToUtf8;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // A byte that starts no character is written as "?" (it would pair with
  // the closing bracket); the server would have read it as U+FFFD.
  std::u16string wanted = GbkToUtf16(text);
  for (char16_t& c : wanted) {
    if (c == slotsync::text::kReplacementChar) c = u'?';
  }

  FUZZ_CHECK(slotsync::testing::ReadDelimited(GbkToUtf16(sql::QuotedName(text)), u"[", u']') ==
             wanted);
  FUZZ_CHECK(slotsync::testing::ReadDelimited(GbkToUtf16(sql::UnicodeLiteral(text)), u"N'",
                                              u'\'') == wanted);
  FUZZ_CHECK(slotsync::testing::ReadDelimited(GbkToUtf16(sql::Literal(text)), u"'", u'\'') ==
             wanted);

  const std::string literal = sql::SqlcmdLiteral(text);
  FUZZ_CHECK(slotsync::testing::EvaluatePieces(GbkToUtf16(literal)) == wanted);
  FUZZ_CHECK(slotsync::testing::SqlcmdFindsIn(GbkToUtf8(literal)).empty());

  // As a statement: inert ones stand as they are, the others through a
  // variable holding the same text.
  const std::string statement = sql::ForSqlcmd(text);
  FUZZ_CHECK(slotsync::testing::SqlcmdFindsIn(GbkToUtf8(statement)).empty());
  FUZZ_CHECK(sql::IsSqlcmdInert(text) == (statement == text));

  const std::string shown = sql::SqlcmdInertText(text);
  FUZZ_CHECK(shown.find('\n') == std::string::npos && shown.find("$(") == std::string::npos);
  return 0;
}
