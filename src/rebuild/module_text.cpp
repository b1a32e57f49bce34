#include "rebuild/module_text.h"

#include <cctype>

#include "text/case_fold.h"
#include "text/gbk.h"

namespace slotsync::rebuild {
namespace {

// The few kinds of T-SQL token the readers here tell apart.
struct Token {
  enum class Kind { kWord, kNumber, kLiteral, kDelimited, kPunctuation };
  Kind kind;
  std::string text;  // a literal's or a delimited name's text without its quotes
};

bool IsAsciiWordByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) || c == '_' || c == '@' || c == '#' || c == '$';
}

bool IsDigit(std::string_view text, std::size_t at) {
  return at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]));
}

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  std::vector<Token> All() {
    std::vector<Token> tokens;
    while (SkipBlanksAndComments()) tokens.push_back(Next(tokens));
    return tokens;
  }

 private:
  std::size_t Length(std::size_t at) const { return text::GbkCharacterLength(text_, at); }
  char At(std::size_t at) const { return at < text_.size() ? text_[at] : '\0'; }

  // False at the end of the text.
  bool SkipBlanksAndComments() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++at_;
      } else if (c == '-' && At(at_ + 1) == '-') {
        while (at_ < text_.size() && text_[at_] != '\n') at_ += Length(at_);
      } else if (c == '/' && At(at_ + 1) == '*') {
        SkipBlockComment();
      } else {
        return true;
      }
    }
    return false;
  }

  // Block comments nest in T-SQL.
  void SkipBlockComment() {
    int depth = 0;
    while (at_ < text_.size()) {
      if (text_[at_] == '/' && At(at_ + 1) == '*') {
        ++depth;
        at_ += 2;
      } else if (text_[at_] == '*' && At(at_ + 1) == '/') {
        at_ += 2;
        if (--depth == 0) return;
      } else {
        at_ += Length(at_);
      }
    }
  }

  // Up to the closing `close`, which written twice stands for itself.
  std::string Quoted(char close) {
    std::string inner;
    ++at_;
    while (at_ < text_.size()) {
      const std::size_t length = Length(at_);
      if (length == 1 && text_[at_] == close) {
        if (At(at_ + 1) != close) {
          ++at_;
          break;
        }
        ++at_;
      }
      inner.append(text_, at_, length);
      at_ += length;
    }
    return inner;
  }

  Token Next(const std::vector<Token>& before) {
    const char c = text_[at_];
    if ((c == 'N' || c == 'n') && At(at_ + 1) == '\'') {
      ++at_;
      return {Token::Kind::kLiteral, Quoted('\'')};
    }
    if (c == '\'') return {Token::Kind::kLiteral, Quoted('\'')};
    if (c == '[') return {Token::Kind::kDelimited, Quoted(']')};
    if (c == '"') return {Token::Kind::kDelimited, Quoted('"')};
    const bool afterName = !before.empty() && (before.back().kind == Token::Kind::kWord ||
                                               before.back().kind == Token::Kind::kDelimited ||
                                               before.back().text == ")");
    if (IsDigit(text_, at_) || (c == '.' && IsDigit(text_, at_ + 1) && !afterName) ||
        (c == '$' && IsDigit(text_, at_ + 1))) {
      // 1, 1.5, .5, 1e5, 0x1F, $1.50: the dots of a number are no dotted name.
      const std::size_t start = at_;
      while (at_ < text_.size() && (IsAsciiWordByte(text_[at_]) || text_[at_] == '.')) ++at_;
      return {Token::Kind::kNumber, std::string(text_.substr(start, at_ - start))};
    }
    if (IsAsciiWordByte(c) || Length(at_) == 2) {
      const std::size_t start = at_;
      while (at_ < text_.size() && (IsAsciiWordByte(text_[at_]) || Length(at_) == 2)) {
        at_ += Length(at_);
      }
      return {Token::Kind::kWord, std::string(text_.substr(start, at_ - start))};
    }
    if (c == ':' && At(at_ + 1) == ':') {
      at_ += 2;
      return {Token::Kind::kPunctuation, "::"};
    }
    const std::size_t length = Length(at_);
    at_ += length;
    return {Token::Kind::kPunctuation, std::string(text_.substr(at_ - length, length))};
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

bool IsWord(const Token& token, std::string_view word) {
  return token.kind == Token::Kind::kWord && text::EqualsIgnoringAsciiCase(token.text, word);
}

}  // namespace

std::vector<std::string> NamesIn(std::string_view definition) {
  std::vector<std::string> names;
  std::vector<Token> tokens = Tokenizer(definition).All();
  const auto dot = [&](std::size_t at) {
    return at < tokens.size() && tokens[at].kind == Token::Kind::kPunctuation &&
           (tokens[at].text == "." || tokens[at].text == "::");
  };
  for (std::size_t at = 0; at < tokens.size(); ++at) {
    // A catalog definition brackets every name; a double-quoted one is a
    // name too under QUOTED_IDENTIFIER, which the catalog's texts assume.
    // The parts of a dotted name ([dbo].[fnOk]) are a schema, a function
    // or a method, not columns of the table.
    if (tokens[at].kind == Token::Kind::kDelimited && !dot(at + 1) && !(at > 0 && dot(at - 1))) {
      names.push_back(std::move(tokens[at].text));
    }
  }
  return names;
}

bool CallsBeyondBuiltIns(std::string_view definition) {
  for (const Token& token : Tokenizer(definition).All()) {
    if (token.kind == Token::Kind::kPunctuation && (token.text == "." || token.text == "::")) {
      return true;
    }
  }
  return false;
}

ExecuteAsClause ExecuteAsOf(std::string_view definition) {
  const std::vector<Token> tokens = Tokenizer(definition).All();
  std::size_t at = 0;
  while (at < tokens.size() && !IsWord(tokens[at], "TRIGGER")) ++at;
  if (at == tokens.size()) return {ExecuteAsClause::Kind::kUnreadable, {}};
  for (++at; at < tokens.size(); ++at) {
    const Token& token = tokens[at];
    if (IsWord(token, "FOR") || IsWord(token, "AFTER") || IsWord(token, "INSTEAD")) break;
    if (!(IsWord(token, "EXEC") || IsWord(token, "EXECUTE")) || at + 2 >= tokens.size() ||
        !IsWord(tokens[at + 1], "AS")) {
      continue;
    }
    const Token& who = tokens[at + 2];
    if (IsWord(who, "CALLER")) return {ExecuteAsClause::Kind::kCaller, {}};
    if (IsWord(who, "SELF")) return {ExecuteAsClause::Kind::kSelf, {}};
    if (IsWord(who, "OWNER")) return {ExecuteAsClause::Kind::kOwner, {}};
    if (who.kind == Token::Kind::kLiteral) return {ExecuteAsClause::Kind::kNamed, who.text};
    return {ExecuteAsClause::Kind::kUnreadable, {}};
  }
  return {};
}

}  // namespace slotsync::rebuild
