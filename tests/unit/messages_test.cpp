#include "text/messages.h"

#include <gtest/gtest.h>

#include "scoped_variable.h"
#include "text/gbk.h"

namespace slotsync::text {
namespace {

using testing::ScopedVariable;

// Puts the language the tests run in back after a test changes it.
class MessagesTest : public ::testing::Test {
 protected:
  ~MessagesTest() override { SetMessageLanguage(Language::kEnglish); }
};

TEST_F(MessagesTest, NamesAndEnvironmentChooseTheLanguage) {
  const std::optional<Language> en = Language::kEnglish;
  const std::optional<Language> zh = Language::kChinese;
  struct Name {
    const char* name;
    std::optional<Language> language;
  };
  for (const Name& c : std::initializer_list<Name>{{"zh_CN", zh},
                                                   {"zh_CN.GBK", zh},
                                                   {"zh_SG.UTF-8@euro", zh},
                                                   {"zh-Hans-CN", zh},
                                                   {"zh", zh},
                                                   {"zh_TW.UTF-8", std::nullopt},
                                                   {"en_US.UTF-8", en},
                                                   {"C.UTF-8", en},
                                                   {"POSIX", en},
                                                   {"fr_FR", std::nullopt},
                                                   {"", std::nullopt}}) {
    EXPECT_EQ(c.language, LanguageFromName(c.name)) << c.name;
  }

  // LC_ALL, LC_MESSAGES, LANG, LANGUAGE, SLOTSYNC_LANG, requested -> chosen.
  struct Environment {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    const char* language;
    const char* slotsyncLang;
    const char* requested;
    Language chosen;
  };
  const Language E = Language::kEnglish;
  const Language Z = Language::kChinese;
  for (const Environment& c : std::initializer_list<Environment>{
           {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, E},
           {nullptr, nullptr, "zh_CN.UTF-8", nullptr, nullptr, nullptr, Z},
           {nullptr, "zh_CN.GBK", "en_US.UTF-8", nullptr, nullptr, nullptr, Z},
           {"en_US.UTF-8", "zh_CN.GBK", "zh_CN.GBK", nullptr, nullptr, nullptr, E},
           // In the C locale LANGUAGE is not read, as gettext does.
           {nullptr, nullptr, "C", "zh_CN", nullptr, nullptr, E},
           {nullptr, nullptr, "en_US.UTF-8", "fr:zh_CN:en", nullptr, nullptr, Z},
           {nullptr, nullptr, "de_DE.UTF-8", nullptr, nullptr, nullptr, E},
           {nullptr, nullptr, "C", nullptr, "zh_CN", nullptr, Z},
           {nullptr, nullptr, "zh_CN.UTF-8", nullptr, "en", nullptr, E},
           {nullptr, nullptr, "zh_CN.UTF-8", nullptr, "fr", nullptr, E},
           {nullptr, nullptr, "C", nullptr, "en", "zh_CN", Z},
           {nullptr, nullptr, "zh_CN.UTF-8", nullptr, nullptr, "ja_JP", E},
       }) {
    const ScopedVariable lcAll("LC_ALL", c.lcAll);
    const ScopedVariable lcMessages("LC_MESSAGES", c.lcMessages);
    const ScopedVariable lang("LANG", c.lang);
    const ScopedVariable language("LANGUAGE", c.language);
    const ScopedVariable slotsyncLang("SLOTSYNC_LANG", c.slotsyncLang);
    EXPECT_EQ(c.chosen, ChosenLanguage(c.requested))
        << (c.lang ? c.lang : "-") << " " << (c.language ? c.language : "-") << " "
        << (c.slotsyncLang ? c.slotsyncLang : "-") << " " << (c.requested ? c.requested : "-");
  }
}

TEST_F(MessagesTest, FormatsPutArgumentsWhereTheTextNamesThem) {
  struct Case {
    const char* format;
    std::string filled;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"%d of %d tables", "3 of 7 tables"},
           {"%2$d \xD5\xC5\xB1\xED\xD6\xD0 %1$d", "7 \xD5\xC5\xB1\xED\xD6\xD0 3"},
           {"100%% of %s", "100% of 3"},
           {"%d %d %d", "3 7 %d"},    // a directive without its argument shows
           {"%x and %", "%x and %"},  // so does one the format does not know
           {"%9$s", "%9$s"},
       }) {
    EXPECT_EQ(c.filled, Format(c.format, 3, std::string("7"))) << c.format;
  }
}

TEST_F(MessagesTest, ChineseComesFromTheCatalogInGbk) {
  const char* busy = "busy: another run is in progress";
  EXPECT_EQ(busy, Tr(busy));
  SetMessageLanguage(Language::kChinese);
  EXPECT_EQ(Utf8ToGbk("忙：另一次运行正在进行"), Tr(busy));
  EXPECT_EQ(Utf8ToGbk("一致：N=12，StockDetailTemp 现有 10 个尺码列；无需处理"),
            TrFormat("in step: N=%d, StockDetailTemp has %d slot columns; nothing to do", 12, 10));
  // A choice is looked up when the first message is made.
  {
    const ScopedVariable slotsyncLang("SLOTSYNC_LANG", "en");
    ChooseMessageLanguage(nullptr);
    const ScopedVariable later("SLOTSYNC_LANG", "zh_CN");
    EXPECT_EQ(Utf8ToGbk("忙：另一次运行正在进行"), Tr(busy));
  }
  // A text the catalog does not hold stays as it is.
  EXPECT_EQ("no such message", Tr("no such message"));
  SetMessageLanguage(Language::kEnglish);
  EXPECT_EQ("1 table", TrPlural("%d table", "%d tables", 1, 1));
  EXPECT_EQ("2 tables", TrPlural("%d table", "%d tables", 2, 2));
}

}  // namespace
}  // namespace slotsync::text
