#pragma once

// Reads quoted forms back as the server and sqlcmd read them, apart from
// the code that writes them: from the UTF-16 the server receives, and from
// the lines sqlcmd splits a script into. Header-only, for the unit tests
// and the fuzz targets alike.

#include <cctype>
#include <optional>
#include <string>
#include <string_view>

namespace slotsync::testing {

// The text of `quoted` when it is `open`, the text with every `close`
// doubled, and `close` as its very last character; nothing when the quoted
// form ends early (the rest would be read as SQL) or not at all.
inline std::optional<std::u16string> ReadDelimited(std::u16string_view quoted,
                                                   std::u16string_view open, char16_t close) {
  if (!quoted.starts_with(open)) return std::nullopt;
  std::u16string text;
  for (std::size_t i = open.size(); i < quoted.size(); ++i) {
    if (quoted[i] != close) {
      text += quoted[i];
    } else if (i + 1 == quoted.size()) {
      return text;
    } else if (quoted[i + 1] == close) {
      text += close;
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The value of an expression "Convert(NVarchar(max),P)+P+...", each P an
// N'...' literal or NChar(n), with line breaks only before a "+"; nothing
// when it is not of that form.
inline std::optional<std::u16string> EvaluatePieces(std::u16string_view expression) {
  constexpr std::u16string_view kStart = u"Convert(NVarchar(max),";
  if (!expression.starts_with(kStart)) return std::nullopt;
  std::u16string value;
  std::size_t at = kStart.size();
  bool first = true;
  while (true) {
    if (expression.substr(at).starts_with(u"N'")) {
      std::size_t end = at + 2;
      while (end < expression.size()) {
        if (expression[end] == u'\'' &&
            (end + 1 >= expression.size() || expression[end + 1] != u'\''))
          break;
        end += expression[end] == u'\'' ? 2 : 1;
      }
      if (end >= expression.size()) return std::nullopt;
      const auto piece = ReadDelimited(expression.substr(at, end + 1 - at), u"N'", u'\'');
      if (!piece) return std::nullopt;
      value += *piece;
      at = end + 1;
    } else if (expression.substr(at).starts_with(u"NChar(")) {
      const std::size_t end = expression.find(u')', at);
      if (end == std::u16string_view::npos) return std::nullopt;
      int code = 0;
      for (std::size_t k = at + 6; k < end; ++k) {
        if (expression[k] < u'0' || expression[k] > u'9') return std::nullopt;
        code = code * 10 + (expression[k] - u'0');
      }
      value += static_cast<char16_t>(code);
      at = end + 1;
    } else {
      return std::nullopt;
    }
    if (first) {
      if (at >= expression.size() || expression[at] != u')') return std::nullopt;
      ++at;
      first = false;
    }
    if (at == expression.size()) return value;
    if (expression[at] == u'\n') ++at;
    if (at >= expression.size() || expression[at] != u'+') return std::nullopt;
    ++at;
  }
}

// What sqlcmd (ODBC or go-sqlcmd) or SQLCMD mode would take out of a
// script's text before the server sees it: a variable reference, a line
// that is a command (":" or "!!" first) or a batch separator ("GO"), or the
// "\'" that go-sqlcmd reads as an escaped quote. Empty when it finds none.
inline std::string SqlcmdFindsIn(std::string_view script) {
  if (script.find("$(") != std::string_view::npos) return "a variable";
  if (script.find("\\'") != std::string_view::npos) return "an escaped quote";
  std::size_t start = 0;
  while (start <= script.size()) {
    std::size_t end = script.find('\n', start);
    if (end == std::string_view::npos) end = script.size();
    std::string_view line = script.substr(start, end - start);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.starts_with(":") || line.starts_with("!!")) return "a command";
    std::string word;
    for (char c : line) {
      if (c == ' ' || c == '\t' || c == '\r') break;
      word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (word == "GO") return "a batch separator";
    for (char c : line) {
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
        return "a control character";
    }
    start = end + 1;
  }
  return {};
}

}  // namespace slotsync::testing
