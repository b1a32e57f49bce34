#pragma once

// Conversions between the GBK bytes the library holds internally (code page
// 936) and the encodings at its edges: UTF-16 for ODBC and Win32, UTF-8 and
// the terminal's locale for the command.
//
// One rule for bad input, the same on every platform:
//  - GBK -> Unicode: a byte that does not start a valid GBK character (0xFF,
//    a lead byte without a valid trail byte, a lead byte at the very end, or
//    a well-formed pair with no mapping) becomes U+FFFD and the walk goes on
//    with the next byte, so an ASCII byte after a broken lead byte survives.
//  - Unicode -> GBK: a character that GBK cannot hold, and an unpaired UTF-16
//    surrogate or an invalid UTF-8 sequence, becomes "?" (one byte each).
// Nothing is ever dropped silently and the output is never cut short.

#include <optional>
#include <string>
#include <string_view>

namespace slotsync::text {

inline constexpr char16_t kReplacementChar = u'\uFFFD';
inline constexpr char kUnmappableByte = '?';

std::u16string GbkToUtf16(std::string_view gbk);
std::string Utf16ToGbk(std::u16string_view utf16);

// Whether every byte is ASCII, which GBK, UTF-8 and UTF-16 write alike.
bool IsAscii(std::string_view text);

// Writes each byte of text as one 16-bit unit to `to` (room for text.size()
// units) and says whether they were all ASCII, so that the units are the
// text's UTF-16. A loop without an early exit, which the compiler turns into
// vector code: most names, numbers and statements are ASCII.
template <typename Unit>
bool WidenAscii(std::string_view text, Unit* to) {
  static_assert(sizeof(Unit) == 2);
  unsigned char seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    seen |= byte;
    to[i] = static_cast<Unit>(byte);
  }
  return seen < 0x80;
}

std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);

std::string Utf16ToUtf8(std::u16string_view utf16);
std::u16string Utf8ToUtf16(std::string_view utf8);

// The terminal's encoding is the one of the current C locale (LC_CTYPE);
// the command calls setlocale(LC_ALL, "") before it uses these.
std::string GbkToTerminal(std::string_view gbk);
std::string TerminalToGbk(std::string_view terminal);

// The text typed on the terminal as GBK, or nothing when a character of it
// has no GBK form (or the bytes are no text in the terminal's encoding):
// for arguments, which must reach the server as typed or not at all.
std::optional<std::string> TerminalToGbkExactly(std::string_view terminal);

// Text from the database or the server for a terminal: every control
// character but the line feed written as a visible escape ("\x1B"), so that
// none can move the cursor, rewrite a line or change the terminal's state.
std::string GbkToTerminalEscaped(std::string_view gbk);

// How many bytes the character that starts at `at` takes: 2 for a lead byte
// whose pair the converter maps, else 1. A quoting or splitting walk steps
// by this, so that it sees the characters the server will receive: a trail
// byte with the value of "]" or "\" is part of its character, while a byte
// the converter cannot pair stands alone, as it does on its way out.
std::size_t GbkCharacterLength(std::string_view gbk, std::size_t at);

// Where the single-byte character `c` first stands at or after `from`, as
// a character: the trail byte of a double-byte character with the value of
// "]" or "\\" is not it. npos when it is not there.
std::size_t FindAsciiCharacter(std::string_view gbk, char c, std::size_t from = 0);

// True when every byte belongs to a GBK character that Unicode can hold, so
// that the text survives the trip to UTF-16 unchanged.
bool IsWellFormedGbk(std::string_view gbk);

// True for a byte that starts a two-byte GBK character.
constexpr bool IsGbkLeadByte(unsigned char byte) {
  return byte >= 0x81 && byte <= 0xFE;
}
constexpr bool IsGbkTrailByte(unsigned char byte) {
  return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

}  // namespace slotsync::text
