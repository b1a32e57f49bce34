#include "ui/progress_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace slotsync::ui {
namespace {

// "正在重构数据库" in GBK.
const std::string kGbkPrompt = "\xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2";
// "' 不是一个正确的数值." in GBK, what follows the text in the error message.
const std::string kNotANumberTail =
    "' \xB2\xBB\xCA\xC7\xD2\xBB\xB8\xF6\xD5\xFD\xC8\xB7\xB5\xC4\xCA\xFD\xD6\xB5.";

// The text as a sender puts it into the COPYDATASTRUCT, with its terminator.
ProgressCommand Parse(const std::string& text) {
  return ParseProgressCommand(text.c_str(), text.size() + 1);
}

TEST(ProgressCommand, FirstCharacterSelectsTheCommand) {
  struct Case {
    std::string text;
    ProgressCommandKind kind;
    std::int32_t position;
    std::string prompt;
  };
  const Case cases[] = {
      {" ", ProgressCommandKind::kStep, 0, ""},
      {" 25 and more", ProgressCommandKind::kStep, 0, ""},  // the rest is ignored
      {"-", ProgressCommandKind::kReset, 0, ""},
      {"-50", ProgressCommandKind::kReset, 0, ""},  // a reset, not a negative position
      {"-abc", ProgressCommandKind::kReset, 0, ""},
      {"0", ProgressCommandKind::kPosition, 0, ""},
      {"7", ProgressCommandKind::kPosition, 7, ""},
      {"007", ProgressCommandKind::kPosition, 7, ""},
      {"100", ProgressCommandKind::kPosition, 100, ""},
      {"250", ProgressCommandKind::kPosition, 250, ""},  // the bar clamps, not the parser
      {"0x1F", ProgressCommandKind::kPosition, 31, ""},
      {"0X1f", ProgressCommandKind::kPosition, 31, ""},
      {"0x0000001F", ProgressCommandKind::kPosition, 31, ""},
      {"2147483647", ProgressCommandKind::kPosition, 2147483647, ""},
      {"0x7FFFFFFF", ProgressCommandKind::kPosition, 2147483647, ""},
      {"0xFFFFFFFF", ProgressCommandKind::kPosition, -1, ""},
      {"0x80000000", ProgressCommandKind::kPosition, std::numeric_limits<std::int32_t>::min(), ""},
      {"+5", ProgressCommandKind::kPrompt, 0, "+5"},
      {"Hello", ProgressCommandKind::kPrompt, 0, "Hello"},
      {"&Save", ProgressCommandKind::kPrompt, 0, "&Save"},
      {kGbkPrompt, ProgressCommandKind::kPrompt, 0, kGbkPrompt},
      {"x5", ProgressCommandKind::kPrompt, 0, "x5"},
      {"\t5", ProgressCommandKind::kPrompt, 0, "\t5"},
  };
  for (const Case& c : cases) {
    const ProgressCommand command = Parse(c.text);
    EXPECT_EQ(c.kind, command.kind) << c.text;
    EXPECT_EQ(c.position, command.position) << c.text;
    EXPECT_EQ(c.prompt, command.text) << c.text;
  }
}

TEST(ProgressCommand, DigitCommandThatIsNoWholeNumberIsReported) {
  const std::string invalid[] = {
      "5%",    "12 ",   "1.5",        "1e3",         "0x",          "0x1G",        "0x-1",
      "00x1F", "1,000", "2147483648", "99999999999", "0x100000000", "0x1FFFFFFFF", "3" + kGbkPrompt,
  };
  for (const std::string& text : invalid) {
    const ProgressCommand command = Parse(text);
    EXPECT_EQ(ProgressCommandKind::kInvalidNumber, command.kind) << text;
    EXPECT_EQ("'" + text + kNotANumberTail, command.text) << text;
  }
}

TEST(ProgressCommand, ErrorMessageIsTheHostsConversionMessage) {
  EXPECT_EQ("'5%' \xB2\xBB\xCA\xC7\xD2\xBB\xB8\xF6\xD5\xFD\xC8\xB7\xB5\xC4\xCA\xFD\xD6\xB5.",
            InvalidNumberMessage("5%"));
  EXPECT_EQ("''" + kNotANumberTail.substr(1), InvalidNumberMessage(""));
}

TEST(ProgressCommand, NoTextIsNoCommand) {
  EXPECT_EQ(ProgressCommandKind::kNone, ParseProgressCommand(nullptr, 0).kind);
  EXPECT_EQ(ProgressCommandKind::kNone, ParseProgressCommand(nullptr, 16).kind);
  EXPECT_EQ(ProgressCommandKind::kNone, ParseProgressCommand("", 1).kind);
  EXPECT_EQ(ProgressCommandKind::kNone, ParseProgressCommand("abc", 0).kind);
  EXPECT_EQ(ProgressCommandKind::kNone, ParseProgressCommand("\0abc", 4).kind);
}

// The byte count bounds the text: the bytes after it belong to somebody else.
// Each buffer is allocated at exactly byteCount bytes, so reading past its
// end is caught by the address sanitizer as well as by the results.
TEST(ProgressCommand, ReadsNoFurtherThanTheByteCount) {
  struct Case {
    std::string sent;  // what lies in memory, terminator or not
    std::size_t byteCount;
    ProgressCommandKind kind;
    std::int32_t position;
    std::string prompt;
  };
  const Case cases[] = {
      {"42", 2, ProgressCommandKind::kPosition, 42, ""},
      {"42XYZ", 2, ProgressCommandKind::kPosition, 42, ""},  // would be invalid past cbData
      {"4", 1, ProgressCommandKind::kPosition, 4, ""},
      {"Hello", 5, ProgressCommandKind::kPrompt, 0, "Hello"},
      {"Hello world", 5, ProgressCommandKind::kPrompt, 0, "Hello"},
      // The first zero byte ends the text.
      {"12" + std::string(1, '\0') + "34", 5, ProgressCommandKind::kPosition, 12, ""},
      {"ab" + std::string(1, '\0') + "cd", 5, ProgressCommandKind::kPrompt, 0, "ab"},
      {kGbkPrompt, kGbkPrompt.size(), ProgressCommandKind::kPrompt, 0, kGbkPrompt},
      {" ", 1, ProgressCommandKind::kStep, 0, ""},
      {"-", 1, ProgressCommandKind::kReset, 0, ""},
  };
  for (const Case& c : cases) {
    std::unique_ptr<char[]> exact(new char[c.byteCount]);
    std::memcpy(exact.get(), c.sent.data(), c.byteCount);
    const ProgressCommand command = ParseProgressCommand(exact.get(), c.byteCount);
    EXPECT_EQ(c.kind, command.kind) << c.sent;
    EXPECT_EQ(c.position, command.position) << c.sent;
    EXPECT_EQ(c.prompt, command.text) << c.sent;
  }
}

TEST(ProgressCommand, DigitsBeyondTheByteCountAreNotRead) {
  // "5%" cut to its first byte is the valid number 5.
  const char sent[] = {'5', '%'};
  const ProgressCommand command = ParseProgressCommand(sent, 1);
  EXPECT_EQ(ProgressCommandKind::kPosition, command.kind);
  EXPECT_EQ(5, command.position);
}

TEST(ParseWholeNumber, MatchesTheHostsStrToInt) {
  EXPECT_EQ(std::optional<std::int32_t>(0), ParseWholeNumber("0"));
  EXPECT_EQ(std::optional<std::int32_t>(2147483647), ParseWholeNumber("002147483647"));
  EXPECT_EQ(std::nullopt, ParseWholeNumber(""));
  EXPECT_EQ(std::nullopt, ParseWholeNumber("-1"));
  EXPECT_EQ(std::nullopt, ParseWholeNumber("+1"));
  EXPECT_EQ(std::nullopt, ParseWholeNumber(" 1"));
  EXPECT_EQ(std::optional<std::int32_t>(255), ParseWholeNumber("0x00000000FF"));
}

}  // namespace
}  // namespace slotsync::ui
