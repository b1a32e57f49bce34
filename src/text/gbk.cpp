#include "text/gbk.h"

#include "platform/secret.h"
#include "text/codepage.h"

namespace slotsync::text {
namespace {

constexpr bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
constexpr bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes one UTF-8 sequence at `pos`; an invalid one yields U+FFFD and
// advances by one byte.
char32_t NextUtf8(std::string_view s, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(s[pos]);
  int extra = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    ++pos;
    return kReplacementChar;
  }
  if (pos + static_cast<std::size_t>(extra) >= s.size()) {
    ++pos;
    return kReplacementChar;
  }
  for (int i = 1; i <= extra; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + static_cast<std::size_t>(i)]);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return kReplacementChar;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return kReplacementChar;
  }
  pos += static_cast<std::size_t>(extra) + 1;
  return cp;
}

// Opening a converter costs more than most texts take to convert, and every
// statement of a run is converted twice: one per thread, opened on first use
// and kept, so a host's threads never share one.
CodePage936& ThreadCodePage() {
  thread_local CodePage936 codepage;
  return codepage;
}

// The character that starts at `at`, which moves past it; a byte that
// starts none gives U+FFFD and moves one byte on.
char16_t NextGbk(std::string_view gbk, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(gbk[at++]);
  if (lead < 0x80) return lead;
  char16_t mapped = 0;
  if (IsGbkLeadByte(lead) && at < gbk.size() &&
      IsGbkTrailByte(static_cast<unsigned char>(gbk[at])) &&
      ThreadCodePage().Decode(lead, static_cast<unsigned char>(gbk[at]), mapped)) {
    ++at;
    return mapped;
  }
  if (lead == 0x80 && ThreadCodePage().DecodeSingle(lead, mapped)) return mapped;
  return kReplacementChar;
}

}  // namespace

std::u16string GbkToUtf16(std::string_view gbk) {
  // Every byte gives at most one UTF-16 unit: the text is written into its
  // place and cut to its length. Text that is not ASCII alone is walked
  // again from its start.
  std::u16string out(gbk.size(), u'\0');
  char16_t* const to = out.data();
  if (WidenAscii(gbk, to)) return out;
  std::size_t length = 0;
  for (std::size_t at = 0; at < gbk.size();) to[length++] = NextGbk(gbk, at);
  out.resize(length);
  return out;
}

std::size_t GbkCharacterLength(std::string_view gbk, std::size_t at) {
  const std::size_t start = at;
  NextGbk(gbk, at);
  return at - start;
}

std::size_t FindAsciiCharacter(std::string_view gbk, char c, std::size_t from) {
  for (std::size_t at = from; at < gbk.size(); at += GbkCharacterLength(gbk, at)) {
    if (gbk[at] == c && GbkCharacterLength(gbk, at) == 1) return at;
  }
  return std::string_view::npos;
}

bool IsWellFormedGbk(std::string_view gbk) {
  // GBK has no character of its own for U+FFFD, so the replacement appears
  // exactly where a byte was no character.
  for (std::size_t at = 0; at < gbk.size();) {
    if (NextGbk(gbk, at) == kReplacementChar) return false;
  }
  return true;
}

std::string Utf16ToGbk(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 2);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t c = utf16[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      // GBK has no characters outside the Basic Multilingual Plane; a pair
      // is one character and becomes one "?".
      if (IsHighSurrogate(c) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) ++i;
      out.push_back(kUnmappableByte);
    } else if (!ThreadCodePage().Encode(c, out)) {
      out.push_back(kUnmappableByte);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (IsHighSurrogate(utf16[i]) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00u);
      ++i;
    } else if (IsHighSurrogate(utf16[i]) || IsLowSurrogate(utf16[i])) {
      cp = kReplacementChar;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) AppendUtf16(out, NextUtf8(utf8, pos));
  return out;
}

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// ASCII is the same bytes in GBK and UTF-8: most names, numbers and
// statements need no detour through UTF-16.
std::string GbkToUtf8(std::string_view gbk) {
  if (IsAscii(gbk)) return std::string(gbk);
  return Utf16ToUtf8(GbkToUtf16(gbk));
}

std::string Utf8ToGbk(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  // An invalid UTF-8 sequence decodes to U+FFFD, which GBK cannot hold: "?".
  return Utf16ToGbk(Utf8ToUtf16(utf8));
}

std::string GbkToTerminal(std::string_view gbk) {
  return Utf16ToTerminal(GbkToUtf16(gbk));
}

std::string TerminalToGbk(std::string_view terminal) {
  return Utf16ToGbk(TerminalToUtf16(terminal));
}

std::optional<std::string> TerminalToGbkExactly(std::string_view terminal) {
  // The text may be the password: the steps on the way are wiped.
  std::u16string typed = TerminalToUtf16(terminal);
  std::string gbk = Utf16ToGbk(typed);
  // "?" and U+FFFD stand for what did not convert; a round trip shows them.
  std::u16string back = GbkToUtf16(gbk);
  const bool exact = back == typed && typed.find(kReplacementChar) == std::u16string::npos;
  platform::WipeString(typed);
  platform::WipeString(back);
  if (!exact) {
    platform::WipeString(gbk);
    return std::nullopt;
  }
  return std::optional<std::string>(std::move(gbk));
}

namespace {

bool IsControl(char16_t c) {
  return (c < 0x20 && c != u'\n') || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

std::string GbkToTerminalEscaped(std::string_view gbk) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string shown;
  for (const char16_t c : GbkToUtf16(gbk)) {
    if (!IsControl(c)) {
      shown.push_back(c);
      continue;
    }
    shown += u"\\x";
    shown.push_back(kHex[c >> 4]);
    shown.push_back(kHex[c & 0xF]);
  }
  return Utf16ToTerminal(shown);
}

}  // namespace slotsync::text
