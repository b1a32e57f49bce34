// Fuzzes the guard on dictionary texts: the input is the text, judged for
// every kind of place so that the places can be compared with each other.

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/dictionary_guard.h"
#include "fuzz_check.h"
#include "text/gbk.h"

namespace {

using slotsync::dictionary::CheckDictionaryText;
using slotsync::dictionary::DictionaryTextRefused;
using slotsync::dictionary::FindRefusal;
using slotsync::dictionary::TextPlace;

constexpr TextPlace kPlaces[] = {TextPlace::kTableName, TextPlace::kColumnName, TextPlace::kKeyList,
                                 TextPlace::kColumnType};
constexpr std::int32_t kTag = -2147483647 - 1;
constexpr char kColumn[] = "S_Modify.FuzzColumn";

// The ASCII characters of `text` that stand outside GBK double-byte
// characters, the ideographic blank replaced by " " (the server reads it as
// one) and every other double-byte character by "A". Returns nothing when a
// byte belongs to no complete GBK character.
std::optional<std::string> AsciiSkeleton(std::string_view text) {
  std::string skeleton;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      skeleton += text[i];
    } else if (slotsync::text::IsGbkLeadByte(byte) && i + 1 < text.size() &&
               slotsync::text::IsGbkTrailByte(static_cast<unsigned char>(text[i + 1]))) {
      skeleton += (byte == 0xA1 && static_cast<unsigned char>(text[i + 1]) == 0xA1) ? ' ' : 'A';
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return skeleton;
}

bool Holds(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

bool HoldsAnyOf(std::string_view text, std::string_view characters) {
  return text.find_first_of(characters) != std::string_view::npos;
}

// In an accepted column definition, read apart from the guard's own reader:
// one Default at most, no parentheses inside parentheses, and the word
// before a "(" is the type's name (the first word, or one that continues
// it) or a built-in function without arguments, never a dotted or user one.
void CheckCalls(const std::string& skeleton) {
  static const std::string kAllowed[] = {
      "getdate", "getutcdate",      "sysdatetime", "sysutcdatetime", "sysdatetimeoffset",
      "newid",   "newsequentialid", "default",     "precision",      "varying",
      "char",    "character",       "varchar",     "national"};
  const auto isWord = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
  };
  std::vector<std::string> words;  // outside quotes, folded to lower case
  bool quoted = false;
  int depth = 0;
  for (std::size_t i = 0; i < skeleton.size(); ++i) {
    quoted = quoted != (skeleton[i] == '\'');
    if (quoted || skeleton[i] == '\'') continue;
    if (isWord(skeleton[i]) && (i == 0 || !isWord(skeleton[i - 1]))) words.emplace_back();
    if (isWord(skeleton[i])) words.back() += static_cast<char>(std::tolower(skeleton[i]));
    if (skeleton[i] == ')') --depth;
    if (skeleton[i] != '(') continue;
    FUZZ_CHECK(++depth == 1);
    const std::size_t before = skeleton.find_last_not_of(' ', i == 0 ? 0 : i - 1);
    if (i == 0 || before == std::string::npos || !isWord(skeleton[before])) continue;
    FUZZ_CHECK(words.size() == 1 ||
               (words.back().find('.') == std::string::npos &&
                std::count(std::begin(kAllowed), std::end(kAllowed), words.back()) == 1));
  }
  FUZZ_CHECK(std::count(words.begin(), words.end(), "default") <= 1);
}

// The check and the non-throwing query agree, and a refusal is the guard's
// own error naming the tag, the column and the text.
bool Judge(TextPlace place, const std::string& text) {
  const bool refusedByQuery = FindRefusal(place, text).has_value();
  try {
    CheckDictionaryText(place, kTag, kColumn, text);
  } catch (const DictionaryTextRefused& refused) {
    FUZZ_CHECK(refusedByQuery);
    FUZZ_CHECK(refused.Text() == text);
    FUZZ_CHECK(refused.TableTag() == kTag);
    const std::string_view message = refused.what();
    FUZZ_CHECK(Holds(message, "TableTag -2147483648: S_Modify.FuzzColumn holds '"));
    return false;
  }
  // Any other exception leaves the target, and libFuzzer reports it.
  FUZZ_CHECK(!refusedByQuery);
  return true;
}

void CheckAccepted(TextPlace place, const std::string& text) {
  // Nothing that could end the statement, open a literal or a comment, or
  // reach the driver's own parsing gets through, in any place.
  for (const char c : text) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  FUZZ_CHECK(!HoldsAnyOf(text, ";\"%?"));
  if (place == TextPlace::kColumnType) {
    // One string literal at most, for a default; outside it, parentheses
    // pair up, so the definition cannot close the CREATE TABLE's own.
    FUZZ_CHECK(std::count(text.begin(), text.end(), '\'') % 2 == 0);
    FUZZ_CHECK(std::count(text.begin(), text.end(), '\'') <= 2);
    int depth = 0;
    bool quoted = false;
    for (const char c : text) {
      if (c == '\'') quoted = !quoted;
      if (quoted) continue;
      depth += c == '(' ? 1 : c == ')' ? -1 : 0;
      FUZZ_CHECK(depth >= 0);
    }
    FUZZ_CHECK(depth == 0);
    CheckCalls(*AsciiSkeleton(text));
  } else {
    FUZZ_CHECK(!Holds(text, "'"));
  }
  FUZZ_CHECK(!Holds(text, "--") && !Holds(text, "/*") && !Holds(text, "*/"));
  FUZZ_CHECK(!Holds(text, "$("));
  const std::optional<std::string> skeleton = AsciiSkeleton(text);
  FUZZ_CHECK(skeleton.has_value());
  FUZZ_CHECK(!HoldsAnyOf(*skeleton, "`{}[]"));
  for (const char16_t c : slotsync::text::GbkToUtf16(text)) {
    FUZZ_CHECK(c != slotsync::text::kReplacementChar);
  }
  if (place == TextPlace::kColumnType) return;
  // A name, or a key list of names: no parentheses, and no blank between
  // two words.
  FUZZ_CHECK(!HoldsAnyOf(*skeleton, "()"));
  if (place == TextPlace::kColumnName) FUZZ_CHECK(!HoldsAnyOf(*skeleton, ",."));
  if (place == TextPlace::kTableName) {
    FUZZ_CHECK(!Holds(*skeleton, ",") && !Holds(*skeleton, " "));
    FUZZ_CHECK(skeleton->find('.') == skeleton->rfind('.'));
  }
  const std::size_t first = skeleton->find_first_not_of(' ');
  if (first != std::string::npos && place != TextPlace::kKeyList) {
    const std::size_t last = skeleton->find_last_not_of(' ');
    FUZZ_CHECK(skeleton->substr(first, last - first + 1).find(' ') == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  bool accepted[4] = {};
  for (std::size_t i = 0; i < 4; ++i) {
    accepted[i] = Judge(kPlaces[i], text);
    if (accepted[i]) CheckAccepted(kPlaces[i], text);
  }
  // Judging is a pure function of place and text.
  FUZZ_CHECK(Judge(kPlaces[size % 4], text) == accepted[size % 4]);

  // A column name fits a key list too, and a table name unless it has a
  // blank at one end; every item of an accepted key list is an accepted
  // column name. (A column type has a grammar of its own: "Not" is a name
  // but no type.)
  if (accepted[1]) {
    FUZZ_CHECK(accepted[2]);
    FUZZ_CHECK(accepted[0] == !Holds(*AsciiSkeleton(text), " "));
  }
  if (accepted[2]) {
    std::size_t start = 0;
    for (std::size_t comma = text.find(','); start <= text.size();
         start = comma + 1, comma = text.find(',', start)) {
      const std::size_t end = comma == std::string::npos ? text.size() : comma;
      FUZZ_CHECK(!FindRefusal(TextPlace::kColumnName, text.substr(start, end - start)));
      if (comma == std::string::npos) break;
    }
  }
  return 0;
}
