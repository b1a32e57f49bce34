#include "sql/quoting.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "text/gbk.h"

namespace slotsync::sql {
namespace {

// A byte that is no character on its own and starts none (a lead byte
// without its trail byte) would pair with whatever is written after it, a
// closing "]" or quote among them: it is written as "?", as the conversion
// writes a character GBK cannot hold.
bool IsStray(std::string_view gbk, std::size_t at, std::size_t length) {
  return length == 1 && static_cast<unsigned char>(gbk[at]) >= 0x80 &&
         !text::IsWellFormedGbk(gbk.substr(at, 1));
}

// The character at `at` as it may be written.
std::string_view Character(std::string_view gbk, std::size_t at, std::size_t length) {
  return IsStray(gbk, at, length) ? std::string_view("?") : gbk.substr(at, length);
}

// Calls `each(at, length)` for every character of `gbk`, in order.
template <typename Each>
void ForEachCharacter(std::string_view gbk, Each each) {
  for (std::size_t at = 0; at < gbk.size();) {
    const std::size_t length = text::GbkCharacterLength(gbk, at);
    each(at, length);
    at += length;
  }
}

// The single-byte character at `at`, or 0 for a double-byte one (which is
// never one of the ASCII characters any of these functions looks for; the
// callers that look for a NUL test the length).
char SingleAt(std::string_view gbk, std::size_t at, std::size_t length) {
  return length == 1 ? gbk[at] : '\0';
}

// `text` between `open` and `close`, each `close` inside it written twice.
std::string Delimit(std::string_view gbk, std::string_view open, char close) {
  std::string quoted(open);
  quoted.reserve(open.size() + gbk.size() + 2);
  ForEachCharacter(gbk, [&](std::size_t at, std::size_t length) {
    quoted.append(Character(gbk, at, length));
    if (SingleAt(gbk, at, length) == close) quoted += close;
  });
  return quoted + close;
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// Whether the single-byte character `c`, followed by `next`, is one that a
// script client could read something in.
bool IsSqlcmdSensitive(char c, char next) {
  return IsControl(c) || c == '$' || c == '\\' || c == '"' || (c == '/' && next == '*') ||
         (c == '*' && next == '/');
}

std::string Hex(unsigned char byte) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", byte);  // not a message
  return hex;
}

// Whether the line begins as a statement does, with a keyword: a line that
// begins with ":" or "!!", or with the word GO, is sqlcmd's.
bool StartsWithKeyword(std::string_view line) {
  std::size_t letters = 0;
  while (letters < line.size() && std::isalpha(static_cast<unsigned char>(line[letters]))) {
    ++letters;
  }
  if (letters == 0) return false;
  const std::string_view word = line.substr(0, letters);
  return !(word.size() == 2 && std::toupper(static_cast<unsigned char>(word[0])) == 'G' &&
           std::toupper(static_cast<unsigned char>(word[1])) == 'O');
}

}  // namespace

std::string QuotedName(std::string_view gbk) {
  return Delimit(gbk, "[", ']');
}

std::string Literal(std::string_view gbk) {
  return Delimit(gbk, "'", '\'');
}

std::string UnicodeLiteral(std::string_view gbk) {
  return Delimit(gbk, "N'", '\'');
}

std::string RaisErrorText(std::string_view gbk) {
  std::string quoted = Literal(gbk);
  quoted = quoted.substr(1, quoted.size() - 2);
  std::string kept;
  ForEachCharacter(quoted, [&](std::size_t at, std::size_t length) {
    if (SingleAt(quoted, at, length) != '%') kept.append(quoted, at, length);
  });
  return kept;
}

bool IsSqlcmdInert(std::string_view statement) {
  if (!StartsWithKeyword(statement)) return false;
  enum class In { kCode, kName, kLiteral } in = In::kCode;
  bool inert = true;
  std::size_t skip = 0;
  ForEachCharacter(statement, [&](std::size_t at, std::size_t length) {
    if (skip > 0) {
      --skip;
      return;
    }
    if (IsStray(statement, at, length)) inert = false;
    const char c = SingleAt(statement, at, length);
    const char next = at + length < statement.size() ? statement[at + length] : '\0';
    if (length != 1) return;
    if (IsSqlcmdSensitive(c, next) || (c == '/' && at > 0 && statement[at - 1] == '*')) {
      inert = false;
    } else if (in == In::kCode) {
      if (c == '[') in = In::kName;
      if (c == '\'') in = In::kLiteral;
    } else if (in == In::kName) {
      // A quote inside a bracketed name is no delimiter to the server, but
      // a client that only counts quotes would think a literal opens there.
      if (c == '\'') inert = false;
      if (c == ']') next == ']' ? void(skip = 1) : void(in = In::kCode);
    } else if (c == '\'') {
      next == '\'' ? void(skip = 1) : void(in = In::kCode);
    }
  });
  return inert && in == In::kCode;
}

std::string SqlcmdLiteral(std::string_view gbk) {
  // The text as pieces: "N'...'" for a run of ordinary characters, and
  // "NChar(n)" for each character a client could read something in.
  std::vector<std::string> parts;
  std::string piece;
  bool inPiece = false;
  const auto endPiece = [&] {
    if (inPiece) parts.push_back("N'" + piece + "'");
    piece.clear();
    inPiece = false;
  };
  ForEachCharacter(gbk, [&](std::size_t at, std::size_t length) {
    const char c = SingleAt(gbk, at, length);
    const char next = at + length < gbk.size() ? gbk[at + length] : '\0';
    const bool afterStar = c == '/' && at > 0 && gbk[at - 1] == '*';
    if (length == 1 && (IsSqlcmdSensitive(c, next) || afterStar)) {
      endPiece();
      parts.push_back("NChar(" + std::to_string(static_cast<unsigned char>(c)) + ")");
      return;
    }
    inPiece = true;
    piece.append(Character(gbk, at, length));
    if (c == '\'') piece += '\'';
  });
  endPiece();
  if (parts.empty()) parts.emplace_back("N''");
  std::string expression = "Convert(NVarchar(max)," + parts.front() + ")";
  for (std::size_t i = 1; i < parts.size(); ++i) {
    // Each line of the text on a script line of its own, so that a reviewer
    // reads a trigger as it was written.
    if (parts[i - 1] == "NChar(10)") expression += '\n';
    expression += "+" + parts[i];
  }
  return expression;
}

std::string ForSqlcmd(std::string_view statement) {
  if (IsSqlcmdInert(statement)) return std::string(statement);
  return "Declare @Statement NVarchar(max)=" + SqlcmdLiteral(statement) +  // not a message
         "\nExec(@Statement)";
}

std::string SqlcmdInertText(std::string_view gbk) {
  std::string shown;
  ForEachCharacter(gbk, [&](std::size_t at, std::size_t length) {
    const char c = SingleAt(gbk, at, length);
    if (length == 1 && IsControl(c)) {
      shown += Hex(static_cast<unsigned char>(c));
    } else if (c == '(' && at > 0 && gbk[at - 1] == '$') {
      shown += "\\x28";
    } else {
      shown.append(Character(gbk, at, length));
    }
  });
  return shown;
}

}  // namespace slotsync::sql
