#include "dictionary/dictionary_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace slotsync::dictionary {
namespace {

using Texts = std::vector<std::string>;

constexpr TextPlace kAllPlaces[] = {TextPlace::kTableName, TextPlace::kColumnName,
                                    TextPlace::kKeyList, TextPlace::kColumnType};

// GBK characters whose trail bytes have the values of ASCII characters the
// guard refuses ('[' ']' and '\' '`' '{' '}'): each is one Chinese character
// to the server.
const std::string kGbkTrailBrackets = "\x81\x5B\x81\x5D";
const std::string kGbkTrailOthers = "\x81\x5C\x81\x60\x81\x7B\x81\x7D";
const std::string kChinese = "\xB3\xDF\xC2\xEB";
// Full-width forms, which the server may read as their ASCII counterparts.
const std::string kWideSemicolon = "\xA3\xBB", kWideQuote = "\xA3\xA7", kWideMinus = "\xA3\xAD";
const std::string kWideComma = "\xA3\xAC", kWideOpen = "\xA3\xA8", kWideClose = "\xA3\xA9";
const std::string kWideBracket = "\xA3\xDD", kWideT1 = "\xA3\xD4\xA3\xB1";
const std::string kIdeographicBlank = "\xA1\xA1", kCurlyQuote = "\xA1\xAE";
const std::string kSmallSemicolon = "\xA9\x72", kSmallMinus = "\xA9\x81";
// U+2014, U+2013, U+2010, U+2015 and U+2215: read as "-" and "/".
const std::string kEmDash = "\xA1\xAA", kEnDash = "\xA8\x43", kHyphen = "\xA9\x5C";
const std::string kBar = "\xA8\x44", kDivisionSlash = "\xA8\x4D";
const std::string kLongName(129, 'N');

bool Accepts(TextPlace place, const std::string& text) {
  try {
    CheckDictionaryText(place, 1, "S_Modify.Test", text);
    return true;
  } catch (const DictionaryTextRefused&) {
    return false;
  }
}

void ExpectVerdicts(TextPlace place, const Texts& accepted, const Texts& refused) {
  for (const auto& text : accepted) {
    EXPECT_TRUE(Accepts(place, text)) << "'" << text << "': " << *FindRefusal(place, text);
  }
  for (const auto& text : refused) EXPECT_FALSE(Accepts(place, text)) << "'" << text << "'";
}

TEST(DictionaryGuard, RefusesInEveryPlace) {
  const Texts refused = {"T;drop table Customer--",
                         "T;",
                         "T--",
                         "T/*",
                         "*/T",
                         "T'",
                         "T\"",
                         "T`",
                         "T{",
                         "}T",
                         "T?",
                         "T%s",
                         "Varchar(20)%",
                         "x\n",
                         "x\r",
                         "x\tdrop",
                         std::string("T\0", 2),
                         "T\x7F",
                         "T\x81",       // lead byte at the end
                         "T\x81\x20X",  // lead byte without a trail byte
                         "\x80T",
                         "T\xFF",
                         "T" + kWideSemicolon,
                         "T" + kWideQuote,
                         "T" + kCurlyQuote,
                         "T" + kWideMinus + kWideMinus,
                         "T-" + kWideMinus,
                         "T" + kSmallSemicolon,
                         kSmallMinus + kSmallMinus,
                         "T" + kEmDash + kEnDash,
                         "T" + kHyphen + "-",
                         "T" + kBar + kBar,
                         "T" + kDivisionSlash + "*"};
  for (const auto& text : refused) {
    for (const TextPlace place : kAllPlaces) {
      EXPECT_FALSE(Accepts(place, text)) << "'" << text << "' in place " << static_cast<int>(place);
    }
  }
}

TEST(DictionaryGuard, AcceptsTheEmptyTextEverywhere) {
  for (const TextPlace place : kAllPlaces) EXPECT_TRUE(Accepts(place, "")) << int(place);
}

TEST(DictionaryGuard, TableNames) {
  // Any blank is refused: behind the prefix "dbo.Tmp_" a leading blank would
  // make SHUTDOWN a statement of its own.
  ExpectVerdicts(TextPlace::kTableName,
                 {"StockDetail", "StockDetailTemp", "dbo.StockDetail", "dbo.Tmp_StockDetail",
                  "S_Modify", "Work#", kChinese, kGbkTrailBrackets, kGbkTrailOthers, kWideT1,
                  std::string(128, 'N'), "dbo." + std::string(128, 'N')},
                 {"T delete Customer", " SHUTDOWN", "T ", "dbo. T", "T" + kIdeographicBlank + "X",
                  "[T]", "T]", "T(", "T)", "T,Customer", "T" + kWideBracket, "Other.dbo.Customer",
                  "dbo..T", "#Work", "##Work", "@T", "dbo.#Work", kLongName, "dbo." + kLongName,
                  "T$(PATH)"});
}

TEST(DictionaryGuard, ColumnNames) {
  // "A " is the first item of "A ;B;": a blank at either end stays harmless.
  ExpectVerdicts(
      TextPlace::kColumnName,
      {"K", "F", "V", "T1", "T2", "T1_x_1", "x_1", "BoxQty", "ID", "A ", " A", kChinese,
       kGbkTrailBrackets, kChinese + kGbkTrailOthers, "A#", std::string(128, 'N')},
      {"a]b", "a[b", "T1] Int, [x", "a b", "a,b", "dbo.x", "x)", "x(1)", "#A", " @A", kLongName});
}

TEST(DictionaryGuard, KeyLists) {
  ExpectVerdicts(
      TextPlace::kKeyList,
      {"ID", "A,B", "A,,B", "A ,B", "A, B", ",", kChinese + "," + kGbkTrailBrackets},
      {"A,B C", "ID) drop table Customer", "A,[B]", "A,dbo.B", "A" + kWideComma + "B", "A,@B"});
}

TEST(DictionaryGuard, ColumnTypes) {
  ExpectVerdicts(
      TextPlace::kColumnType,
      {"Int", "Money", "Datetime", "bit", "Varchar(20)", "Varchar (20) ", "Decimal(18, 2)",
       "Decimal( 18 ,2 )", "nvarchar(max)", "NVARCHAR(MAX)", "double precision", "dbo.Phone",
       kChinese,
       // Real definitions, as the server takes them where the rebuilds put them.
       "Decimal(18,2) Default 0", "Money Default(0)", "Int Default -1", "Money Default (0.00)",
       "Varchar(20) Collate Chinese_PRC_CI_AS", "Varchar(20) Not Null Default ''",
       "Varchar(10) Default 'N/A'", "Datetime Default GetDate()", "Varchar(40) Default NewID()",
       "Int Null", "Varchar(20) Default '" + kChinese + "'", "Datetime Default CURRENT_TIMESTAMP",
       "Varchar(40) Default user Not Null", "Datetime2 Default SysDateTime()",
       "Varchar(10) Default ('N/A')", "Int Default (-1)",
       "Uniqueidentifier Default newsequentialid()"},
      {"Int) drop",
       "Varchar(20)); drop",
       "Varchar(20)) drop table Customer",
       "Varchar(20",
       "Varchar(20))",
       "(20)",
       "Varchar((20))",
       "Varchar()",
       "Varchar(a)",
       "Varchar(20,)",
       "Int,B Int",
       "Decimal(18,2)) Null,A Int",
       "[Int]",
       "Int Identity(1,1)",
       "Int Check (1=1)",
       "Int Default",
       "Int Default 'a",
       "Int Default 'a''b'",
       "Int Default (GetDate())",
       "Int Default 1 Primary Key",
       "Int Not",
       "Varchar(20) Collate",
       "Int References Customer(ID)",
       "Int Default 0 Int",
       "Int Default 'x' + 'y'",
       "Int Default GetDate(1)",
       "Int Default dbo.f()",
       "Int Default master.dbo.xp_cmdshell()",
       "Int Default otherdb.dbo.f()",
       "Varchar(200) Default Leak()",
       "Int Default 0 Default 1",
       "Varchar(20) Default 'a' Null Default 'b'",
       "Varchar(200) Default '$(SQLCMDPASSWORD)'",
       "Int Default - 'x'",
       "Int Default user()",
       "Int Default (CURRENT_TIMESTAMP)",
       "Default 0",
       "Varchar(\xA3\xB2\xA3\xB0)",  // full-width digits
       "Varchar" + kWideOpen + "20" + kWideClose});
}

TEST(DictionaryGuard, EachCheckJudgesItsOwnPlace) {
  EXPECT_NO_THROW(CheckTableName(1, "S_Modify.TableName", "dbo.T"));
  EXPECT_THROW(CheckOnePartTableName(1, "S_Modify.TableName", "dbo.SalesDetail"),
               DictionaryTextRefused);
  EXPECT_THROW(CheckOnePartTableName(1, "S_Modify.TableName", "[SalesDetail]"),
               DictionaryTextRefused);
  EXPECT_NO_THROW(CheckOnePartTableName(1, "S_Modify.TableName", "SalesDetail"));
  EXPECT_THROW(CheckColumnName(1, "DataDictionary.FieldName", "dbo.T"), DictionaryTextRefused);
  EXPECT_NO_THROW(CheckKeyList(1, "S_Modify.KeyField", "A,B"));
  EXPECT_THROW(CheckTableName(1, "S_Modify.TableName", "A,B"), DictionaryTextRefused);
  EXPECT_NO_THROW(CheckColumnType(1, "S_Modify.FieldKind", "Varchar(20)"));
  EXPECT_THROW(CheckKeyList(1, "S_Modify.KeyField", "Varchar(20)"), DictionaryTextRefused);
}

TEST(DictionaryGuard, RefusalNamesTagColumnAndText) {
  try {
    CheckTableName(21, "S_Modify.TableName", "T;drop table Customer--");
    FAIL() << "not refused";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(
        "TableTag 21: S_Modify.TableName holds 'T;drop table Customer--', which is not a table "
        "name (it holds the statement separator ';'); the restructure was stopped",
        error.what());
    const auto* refused = dynamic_cast<const DictionaryTextRefused*>(&error);
    ASSERT_NE(nullptr, refused);
    EXPECT_EQ(21, refused->TableTag());
    EXPECT_EQ("S_Modify.TableName", refused->Column());
    EXPECT_EQ("T;drop table Customer--", refused->Text());
  }
}

TEST(DictionaryGuard, MessageShowsBytesThatAreNoCharacterInHex) {
  const std::pair<std::string, std::string> cases[] = {
      {"x\n", "'x\\x0A', which is not a column name (it holds the control character 0x0A)"},
      {"a" + kChinese + "\x81", "'a" + kChinese +
                                    "\\x81', which is not a column name (it holds the byte 0x81, "
                                    "which is no complete GBK character)"}};
  for (const auto& [text, shown] : cases) {
    try {
      CheckColumnName(-3, "D.C", text);
      ADD_FAILURE() << "not refused: " << text;
    } catch (const DictionaryTextRefused& error) {
      EXPECT_EQ("TableTag -3: D.C holds " + shown + "; the restructure was stopped", error.what());
    }
  }
}

}  // namespace
}  // namespace slotsync::dictionary
