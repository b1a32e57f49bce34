#include "dictionary/dictionary_guard.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::dictionary {
namespace {

constexpr int kOrdinary = -1;  // a character that is neither ASCII nor read as ASCII

// One character of a dictionary text: its bytes, and the ASCII character the
// server sees in it (itself for ASCII, the look-alike's counterpart for a
// GBK character that may be read as one), or kOrdinary.
struct Unit {
  std::string_view bytes;
  int ascii = kOrdinary;
  bool lookAlike = false;
};

// Small form variants U+FE50-FE6B and the ASCII characters they stand for.
// clang-format off
constexpr int kSmallForms[] = {
    ',', ',', '.', kOrdinary, ';', ':', '?', '!',              // U+FE50-FE57
    kOrdinary, '(', ')', '{', '}', kOrdinary, kOrdinary, '#',  // U+FE58-FE5F
    '&', '*', '+', '-', '<', '>', '=', kOrdinary,              // U+FE60-FE67
    '\\', '$', '%', '@'};                                      // U+FE68-FE6B
// clang-format on

// The ASCII character a server or a best-fit conversion may read in `c`.
int AsciiLookAlike(char16_t c) {
  if (c == u'\u3000') return ' ';
  if (c >= u'\uFF01' && c <= u'\uFF5E') return c - 0xFEE0;
  if (c >= u'\uFE50' && c <= u'\uFE6B') return kSmallForms[c - 0xFE50];
  switch (c) {
    case u'\u2010':
    case u'\u2013':
    case u'\u2014':
    case u'\u2015':
    case u'\u2212':
      return '-';
    case u'\u2215':
      return '/';
    case u'\u2018':
    case u'\u2019':
    case u'\u201A':
    case u'\u201B':
    case u'\u2032':
    case u'\u2035':
    case u'\u02B9':
    case u'\u02BB':
    case u'\u02BC':
    case u'\u02C8':
    case u'\u02CA':
    case u'\u02CB':
      return '\'';
    case u'\u201C':
    case u'\u201D':
    case u'\u201E':
    case u'\u201F':
    case u'\u2033':
    case u'\u2036':
    case u'\u02BA':
      return '"';
    default:
      return kOrdinary;
  }
}

std::string Hex(unsigned char byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {'0', 'x', kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

// Splits `text` into characters, or says why it cannot be sent as it stands.
std::optional<std::string> ReadUnits(std::string_view text, std::vector<Unit>& units) {
  bool hasDoubleByte = false;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      units.push_back({text.substr(i, 1), byte, false});
      ++i;
    } else if (text::IsGbkLeadByte(byte) && i + 1 < text.size() &&
               text::IsGbkTrailByte(static_cast<unsigned char>(text[i + 1]))) {
      units.push_back({text.substr(i, 2), kOrdinary, false});
      hasDoubleByte = true;
      i += 2;
    } else {
      return text::TrFormat("it holds the byte %s, which is no complete GBK character", Hex(byte));
    }
  }
  if (!hasDoubleByte) return std::nullopt;
  // Every unit is now one well-formed character, so the decoded text has one
  // UTF-16 unit per character up to the first pair without a mapping.
  const std::u16string decoded = text::GbkToUtf16(text);
  for (std::size_t k = 0; k < units.size(); ++k) {
    if (units[k].bytes.size() != 2) continue;
    const char16_t c = k < decoded.size() ? decoded[k] : text::kReplacementChar;
    if (c == text::kReplacementChar) {
      return text::TrFormat("it holds the GBK character %s, which has no Unicode mapping",
                            Hex(static_cast<unsigned char>(units[k].bytes[0])) +
                                Hex(static_cast<unsigned char>(units[k].bytes[1])).substr(2));
    }
    units[k].ascii = AsciiLookAlike(c);
    units[k].lookAlike = units[k].ascii != kOrdinary;
  }
  return std::nullopt;
}

// A character or two as the message shows them: quoted, and for a look-alike
// with the ASCII the server may read in it.
std::string Quoted(std::string_view bytes, bool lookAlike, std::string_view ascii) {
  const std::string quoted = "'" + std::string(bytes) + "'";
  if (!lookAlike) return quoted;
  return text::TrFormat("%s (read as '%s')", quoted, ascii);
}

std::string Show(const Unit& unit) {
  return Quoted(unit.bytes, unit.lookAlike, std::string(1, static_cast<char>(unit.ascii)));
}

bool IsBlank(const Unit& unit) {
  return unit.ascii == ' ';
}

// Refusals that hold for every place.
std::optional<std::string> CommonRefusal(const std::vector<Unit>& units, bool allowSingleQuotes) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const Unit& unit = units[i];
    const int c = unit.ascii;
    if (c == kOrdinary) continue;
    if (c < 0x20 || c == 0x7F) {
      return text::TrFormat("it holds the control character %s",
                            Hex(static_cast<unsigned char>(c)));
    }
    const int next = i + 1 < units.size() ? units[i + 1].ascii : kOrdinary;
    switch (c) {
      case '\'':
        // A column type may hold one string literal, for its default; the
        // definition's own rules judge where it stands.
        if (allowSingleQuotes && !unit.lookAlike) break;
        return text::TrFormat("it holds the quote %s", Show(unit));
      case '"':
      case '`':
        return text::TrFormat("it holds the quote %s", Show(unit));
      case ';':
        return text::TrFormat("it holds the statement separator %s", Show(unit));
      case '{':
      case '}':
        return text::TrFormat("it holds %s, which the ODBC driver reads as an escape sequence",
                              Show(unit));
      case '?':
        return text::TrFormat("it holds %s, which the ODBC driver reads as a parameter marker",
                              Show(unit));
      case '%':
        return text::TrFormat(
            "it holds %s, which would be read as a placeholder when the statement template is "
            "filled",
            Show(unit));
      default:
        break;
    }
    if (c == '$' && next == '(') {
      // sqlcmd replaces "$(name)" anywhere in a script, inside strings too,
      // with a variable or an environment variable of whoever runs it.
      return text::TrFormat(
          "it holds %s, which sqlcmd replaces with a variable of the one who runs the script",
          Show(unit) + Show(units[i + 1]));
    }
    if ((c == '-' && next == '-') || (c == '/' && next == '*') || (c == '*' && next == '/')) {
      const std::string marker = Quoted(std::string(unit.bytes) + std::string(units[i + 1].bytes),
                                        unit.lookAlike || units[i + 1].lookAlike,
                                        std::string{static_cast<char>(c), static_cast<char>(next)});
      return text::TrFormat("it holds the comment marker %s", marker);
    }
  }
  return std::nullopt;
}

// What would end a name early or open a list inside it, in any kind of name.
std::optional<std::string> NameSeparatorRefusal(const Unit& unit) {
  switch (unit.ascii) {
    case '[':
    case ']':
      return text::TrFormat("it holds the bracket %s", Show(unit));
    case '(':
    case ')':
      return text::TrFormat("it holds the parenthesis %s", Show(unit));
    case ',':
      return text::TrFormat("it holds the comma %s", Show(unit));
    default:
      return std::nullopt;
  }
}

// SQL Server's own rules for a name, on top of what keeps it in its place:
// 128 characters at most, and no leading "#" (a temporary table, which
// would be rebuilt in tempdb and vanish with the session while the flag is
// cleared) or "@" (a variable).
std::optional<std::string> IdentifierRefusal(const std::vector<Unit>& units, std::size_t first,
                                             std::size_t last) {
  constexpr std::size_t kLongestName = 128;
  if (last - first > kLongestName) {
    return text::Tr("it is longer than the 128 characters SQL Server allows in a name");
  }
  if (first < last && !units[first].lookAlike &&
      (units[first].ascii == '#' || units[first].ascii == '@')) {
    return text::TrFormat("it starts with %s, which makes it a temporary object or a variable",
                          Show(units[first]));
  }
  return std::nullopt;
}

// A column name, or one item of a key list: one word, blanks allowed at
// either end.
std::optional<std::string> ColumnNameRefusal(const std::vector<Unit>& units, std::size_t first,
                                             std::size_t last) {
  while (first < last && IsBlank(units[first])) ++first;
  while (last > first && IsBlank(units[last - 1])) --last;
  if (auto refusal = IdentifierRefusal(units, first, last)) return refusal;
  for (std::size_t i = first; i < last; ++i) {
    const Unit& unit = units[i];
    if (auto refusal = NameSeparatorRefusal(unit)) return refusal;
    switch (unit.ascii) {
      case ' ':
        return text::Tr("it holds a blank between two words");
      case '.':
        return text::TrFormat("it holds %s, but a column name takes no prefix", Show(unit));
      default:
        break;
    }
  }
  return std::nullopt;
}

// A table name: one word, a schema prefix allowed, no blank at all. Unlike a
// column name it also goes into statements behind a fixed prefix and outside
// any parentheses ("Drop Table dbo.Tmp_%s" in effect), where a leading blank
// would turn its first word into a statement of its own, such as SHUTDOWN.
// One "." at most: a database or server prefix would let the dictionary
// drop and recreate tables outside the database the run was given.
std::optional<std::string> TableNameRefusal(const std::vector<Unit>& units) {
  bool dotted = false;
  std::size_t part = 0;  // where the schema or the name begins
  for (std::size_t i = 0; i < units.size(); ++i) {
    const Unit& unit = units[i];
    if (auto refusal = NameSeparatorRefusal(unit)) return refusal;
    switch (unit.ascii) {
      case '.':
        if (dotted) return text::Tr("it holds a second '.': only a schema prefix is allowed");
        if (auto refusal = IdentifierRefusal(units, part, i)) return refusal;
        dotted = true;
        part = i + 1;
        break;
      case ' ':
        return text::Tr("it holds a blank");
      default:
        break;
    }
  }
  return IdentifierRefusal(units, part, units.size());
}

std::optional<std::string> KeyListRefusal(const std::vector<Unit>& units) {
  std::size_t first = 0;
  for (std::size_t i = 0; i <= units.size(); ++i) {
    // Only an ASCII "," separates; a full-width one stays in its item and
    // is refused there.
    if (i < units.size() && !(units[i].ascii == ',' && !units[i].lookAlike)) continue;
    if (auto refusal = ColumnNameRefusal(units, first, i)) return refusal;
    first = i + 1;
  }
  return std::nullopt;
}

// A column definition read as tokens: words (type names, keywords, numbers),
// single characters of punctuation, and one kind of literal, a string in
// single quotes.
struct Token {
  enum class Kind { kWord, kPunctuation, kString, kEnd } kind = Kind::kEnd;
  std::string text;  // a word folded to lower case; the punctuation itself
};

bool IsWordUnit(const Unit& unit) {
  if (unit.ascii == kOrdinary) return true;  // a GBK character of an alias type's name
  if (unit.lookAlike) return false;
  const int c = unit.ascii;
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.';
}

class DefinitionReader {
 public:
  explicit DefinitionReader(const std::vector<Unit>& units) : units_(units) {}

  // Why the text is not a column definition the rebuilds may paste in, or
  // nothing: a type name of one or more words with optional arguments (numbers
  // or max), then any of Collate <name>, Null, Not Null, and one Default with
  // a number, a signed number, a string in single quotes, one of those in
  // parentheses, or a built-in function without arguments such as GetDate().
  std::optional<std::string> Refusal() {
    if (auto refusal = Tokenize()) return refusal;
    if (tokens_.empty()) return std::nullopt;
    std::size_t words = 0;
    while (Peek().kind == Token::Kind::kWord && !IsClauseKeyword(Peek().text) &&
           (words == 0 || IsTypeNameWord(Peek().text))) {
      Next();
      ++words;
    }
    if (Peek().IsPunctuation("(")) {
      if (words == 0) return text::Tr("its '(' follows no type name");
      if (auto refusal = Arguments()) return refusal;
    }
    if (words == 0 && Peek().kind != Token::Kind::kEnd) {
      return text::Tr("it starts with no type name");
    }
    while (Peek().kind != Token::Kind::kEnd) {
      if (auto refusal = Clause()) return refusal;
    }
    return std::nullopt;
  }

 private:
  struct Cursor : Token {
    bool IsPunctuation(std::string_view p) const { return kind == Kind::kPunctuation && text == p; }
    bool IsWord(std::string_view w) const { return kind == Kind::kWord && text == w; }
  };

  std::optional<std::string> Tokenize() {
    for (std::size_t i = 0; i < units_.size();) {
      const Unit& unit = units_[i];
      if (IsBlank(unit)) {
        ++i;
      } else if (IsWordUnit(unit)) {
        Cursor word;
        word.kind = Token::Kind::kWord;
        for (; i < units_.size() && IsWordUnit(units_[i]); ++i) {
          const int c = units_[i].ascii;
          word.text += c == kOrdinary
                           ? std::string(units_[i].bytes)
                           : std::string(1, static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c));
        }
        tokens_.push_back(word);
      } else if (unit.ascii == '\'' && !unit.lookAlike) {
        Cursor literal;
        literal.kind = Token::Kind::kString;
        for (++i; i < units_.size() && !(units_[i].ascii == '\'' && !units_[i].lookAlike); ++i) {
          literal.text += std::string(units_[i].bytes);
        }
        if (i == units_.size()) return text::Tr("its string is not closed");
        ++i;
        tokens_.push_back(literal);
      } else if (unit.lookAlike) {
        return text::TrFormat("it holds %s", Show(unit));
      } else {
        Cursor punctuation;
        punctuation.kind = Token::Kind::kPunctuation;
        punctuation.text = std::string(1, static_cast<char>(unit.ascii));
        tokens_.push_back(punctuation);
        ++i;
      }
    }
    return std::nullopt;
  }

  // The words that continue a type name of several words: "double
  // precision", "national character varying". Any other word after the first
  // is a clause, and judged as one.
  static bool IsTypeNameWord(std::string_view word) {
    return word == "precision" || word == "varying" || word == "char" || word == "character" ||
           word == "varchar" || word == "national";
  }

  static bool IsClauseKeyword(std::string_view word) {
    return word == "collate" || word == "null" || word == "not" || word == "default";
  }

  static bool IsNumber(const Cursor& token) {
    if (token.kind != Token::Kind::kWord || token.text.empty()) return false;
    bool point = false;
    for (const char c : token.text) {
      if (c == '.' && !point) {
        point = true;
      } else if (c < '0' || c > '9') {
        return false;
      }
    }
    return token.text != ".";
  }

  const Cursor& Peek() const {
    static const Cursor kEnd{};
    return next_ < tokens_.size() ? tokens_[next_] : kEnd;
  }
  const Cursor& Next() {
    const Cursor& token = Peek();
    ++next_;
    return token;
  }

  // "(" number-or-max {"," number-or-max} ")"
  std::optional<std::string> Arguments() {
    const char* const kNotArguments =
        N_("its parentheses hold something other than numbers or max separated by ','");
    Next();
    for (;;) {
      const Cursor& argument = Next();
      const bool digits = IsNumber(argument) && argument.text.find('.') == std::string::npos;
      if (!digits && !argument.IsWord("max")) return text::Tr(kNotArguments);
      const Cursor& after = Next();
      if (after.IsPunctuation(")")) return std::nullopt;
      if (!after.IsPunctuation(",")) return text::Tr(kNotArguments);
    }
  }

  std::optional<std::string> Clause() {
    const Cursor& keyword = Next();
    if (keyword.IsWord("collate")) {
      const Cursor& name = Next();
      if (name.kind != Token::Kind::kWord || IsClauseKeyword(name.text) ||
          name.text.find('.') != std::string::npos) {
        return text::Tr("its Collate clause names no collation");
      }
      return std::nullopt;
    }
    if (keyword.IsWord("null")) return std::nullopt;
    if (keyword.IsWord("not")) {
      if (Next().IsWord("null")) return std::nullopt;
      return text::Tr("its Not is not followed by Null");
    }
    if (keyword.IsWord("default")) return DefaultValue();
    if (keyword.kind == Token::Kind::kPunctuation) {
      return text::TrFormat(
          "it holds '%s' where a clause (Collate, Null, Not Null, Default) belongs", keyword.text);
    }
    return text::TrFormat(
        "its clause '%s' is not one the rebuilds accept (Collate, Null, Not Null, Default)",
        keyword.text);
  }

  // The built-in functions a Default may call: they take no arguments, read
  // nothing of the database and run no code of anyone's. A dotted or any
  // other name could be a function written by whoever can write the
  // dictionary, run under the restructure's login for every copied row.
  static bool IsBuiltInCall(std::string_view word) {
    static constexpr std::string_view kCalls[] = {
        "getdate",           "getutcdate", "sysdatetime",    "sysutcdatetime",
        "sysdatetimeoffset", "newid",      "newsequentialid"};
    return std::find(std::begin(kCalls), std::end(kCalls), word) != std::end(kCalls);
  }

  // The built-in values written without parentheses.
  static bool IsNiladicValue(std::string_view word) {
    static constexpr std::string_view kValues[] = {"current_timestamp", "current_user",
                                                   "session_user", "system_user", "user"};
    return std::find(std::begin(kValues), std::end(kValues), word) != std::end(kValues);
  }

  // One literal (a number, a signed number or a string), one literal in
  // parentheses, or one built-in function without arguments.
  std::optional<std::string> DefaultValue() {
    const char* const kWhat =
        N_("its Default is followed by something other than a number, a string in single quotes "
           "or a built-in function without arguments such as GetDate()");
    if (defaultSeen_) return text::Tr("it holds a second Default");
    defaultSeen_ = true;
    const bool parenthesised = Peek().IsPunctuation("(");
    if (parenthesised) Next();
    const bool signed_ = Peek().IsPunctuation("-") || Peek().IsPunctuation("+");
    if (signed_) Next();
    const Cursor& value = Next();
    if (value.kind == Token::Kind::kString && !signed_) {
      if (parenthesised && !Next().IsPunctuation(")")) return text::Tr(kWhat);
      return std::nullopt;
    }
    if (IsNumber(value)) {
      if (parenthesised && !Next().IsPunctuation(")")) return text::Tr(kWhat);
      return std::nullopt;
    }
    if (parenthesised || signed_ || value.kind != Token::Kind::kWord) return text::Tr(kWhat);
    if (IsNiladicValue(value.text)) return std::nullopt;
    if (Peek().IsPunctuation("(")) {
      if (!IsBuiltInCall(value.text)) {
        return text::TrFormat(
            "its Default calls '%s', which is not one of the built-in functions a Default may "
            "call (GetDate(), GetUTCDate(), SysDateTime(), SysUTCDateTime(), "
            "SysDateTimeOffset(), NewID(), NewSequentialID())",
            value.text);
      }
      if (Next().IsPunctuation("(") && Next().IsPunctuation(")")) return std::nullopt;
    }
    return text::Tr(kWhat);
  }

  const std::vector<Unit>& units_;
  std::vector<Cursor> tokens_;
  std::size_t next_ = 0;
  bool defaultSeen_ = false;
};

std::optional<std::string> ColumnTypeRefusal(const std::vector<Unit>& units) {
  for (const Unit& unit : units) {
    if (unit.ascii == '[' || unit.ascii == ']') {
      return text::TrFormat("it holds the bracket %s", Show(unit));
    }
  }
  return DefinitionReader(units).Refusal();
}

// The whole refusal for each kind of place, so that each reads as one
// sentence in every language.
const char* RefusalFormat(TextPlace place) {
  switch (place) {
    case TextPlace::kTableName:
      return N_(
          "TableTag %d: %s holds '%s', which is not a table name (%s); the restructure was "
          "stopped");
    case TextPlace::kColumnName:
      return N_(
          "TableTag %d: %s holds '%s', which is not a column name (%s); the restructure "
          "was stopped");
    case TextPlace::kKeyList:
      return N_(
          "TableTag %d: %s holds '%s', which is not a key list (%s); the restructure was "
          "stopped");
    case TextPlace::kColumnType:
      return N_(
          "TableTag %d: %s holds '%s', which is not a column type (%s); the restructure "
          "was stopped");
  }
  return N_(
      "TableTag %d: %s holds '%s', which is not a dictionary text (%s); the restructure "
      "was stopped");
}

// The text as the message shows it: bytes that are no character of their own
// appear as hexadecimal, and a long text is cut at a character boundary.
std::string Shown(std::string_view text) {
  constexpr std::size_t kLongest = 200;
  std::string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (shown.size() >= kLongest) return shown + "...";
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += text[i];
    } else if (text::IsGbkLeadByte(byte) && i + 1 < text.size() &&
               text::IsGbkTrailByte(static_cast<unsigned char>(text[i + 1]))) {
      shown.append(text.substr(i, 2));
      ++i;
    } else {
      shown += "\\x" + Hex(byte).substr(2);
    }
  }
  return shown;
}

}  // namespace

DictionaryTextRefused::DictionaryTextRefused(std::int32_t tableTag, std::string column,
                                             std::string text, TextPlace place, std::string reason)
    : std::runtime_error(
          text::TrFormat(RefusalFormat(place), tableTag, column, Shown(text), reason)),
      tableTag_(tableTag),
      column_(std::move(column)),
      text_(std::move(text)),
      place_(place),
      reason_(std::move(reason)) {}

std::optional<std::string> FindRefusal(TextPlace place, std::string_view text) {
  std::vector<Unit> units;
  if (auto refusal = ReadUnits(text, units)) return refusal;
  if (auto refusal = CommonRefusal(units, place == TextPlace::kColumnType)) return refusal;
  switch (place) {
    case TextPlace::kTableName:
      return TableNameRefusal(units);
    case TextPlace::kColumnName:
      return ColumnNameRefusal(units, 0, units.size());
    case TextPlace::kKeyList:
      return KeyListRefusal(units);
    case TextPlace::kColumnType:
      return ColumnTypeRefusal(units);
  }
  return std::nullopt;
}

void CheckDictionaryText(TextPlace place, std::int32_t tableTag, std::string_view column,
                         std::string_view text) {
  if (auto refusal = FindRefusal(place, text)) {
    throw DictionaryTextRefused(tableTag, std::string(column), std::string(text), place,
                                std::move(*refusal));
  }
}

void CheckTableName(std::int32_t tableTag, std::string_view column, std::string_view text) {
  CheckDictionaryText(TextPlace::kTableName, tableTag, column, text);
}

void CheckOnePartTableName(std::int32_t tableTag, std::string_view column, std::string_view text) {
  CheckTableName(tableTag, column, text);
  // A GBK trail byte is never 0x2E, so any "." is the character itself.
  if (text.find('.') == std::string_view::npos) return;
  throw DictionaryTextRefused(
      tableTag, std::string(column), std::string(text), TextPlace::kTableName,
      text::Tr("it names a schema or another database: the rebuild makes dbo.Tmp_<name> from it "
               "and sp_rename takes a one-part new name; write the table's name alone"));
}

void CheckColumnName(std::int32_t tableTag, std::string_view column, std::string_view text) {
  CheckDictionaryText(TextPlace::kColumnName, tableTag, column, text);
}

void CheckKeyList(std::int32_t tableTag, std::string_view column, std::string_view text) {
  CheckDictionaryText(TextPlace::kKeyList, tableTag, column, text);
}

void CheckColumnType(std::int32_t tableTag, std::string_view column, std::string_view text) {
  CheckDictionaryText(TextPlace::kColumnType, tableTag, column, text);
}

}  // namespace slotsync::dictionary
