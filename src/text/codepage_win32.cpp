#include "platform/win32_api.h"

#include <atomic>

#include "text/codepage.h"
#include "text/gbk.h"

namespace slotsync::text {
namespace {

constexpr UINT kGbk = 936;

// wchar_t is UTF-16 on Windows, so the two string types share their data.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

// One multi-byte character to one UTF-16 unit; false when the code page has
// no mapping for it (MB_ERR_INVALID_CHARS refuses to substitute).
bool DecodeBytes(UINT codePage, const char* bytes, int count, char16_t& out) {
  wchar_t buffer[4];
  const int written = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, count, buffer, 4);
  if (written != 1) return false;
  out = static_cast<char16_t>(buffer[0]);
  return true;
}

// One UTF-16 unit to the code page; false when the code page has no exact
// character for it (no best-fit look-alikes, no default character).
bool EncodeUnit(UINT codePage, char16_t c, std::string& out) {
  const wchar_t in = static_cast<wchar_t>(c);
  char buffer[8];
  BOOL usedDefault = FALSE;
  // The UTF code pages refuse the default-character arguments, and need not
  // them: they can hold every non-surrogate unit.
  const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
  const int written = WideCharToMultiByte(codePage, utf ? 0 : WC_NO_BEST_FIT_CHARS, &in, 1, buffer,
                                          sizeof buffer, nullptr, utf ? nullptr : &usedDefault);
  if (written <= 0 || usedDefault) return false;
  out.append(buffer, static_cast<std::size_t>(written));
  return true;
}

std::atomic<bool> utf8Terminal{false};

// The console's code pages; a program without a console gets the system's
// ANSI code page, which is what its redirected output is read with.
UINT OutputCodePage() {
  if (utf8Terminal.load()) return CP_UTF8;
  const UINT console = GetConsoleOutputCP();
  return console != 0 ? console : GetACP();
}

UINT InputCodePage() {
  if (utf8Terminal.load()) return CP_UTF8;
  const UINT console = GetConsoleCP();
  return console != 0 ? console : GetACP();
}

}  // namespace

// The Windows tables need no state of their own.
struct CodePage936::Handles {};

CodePage936::CodePage936() : handles_(std::make_unique<Handles>()) {}
CodePage936::~CodePage936() = default;

bool CodePage936::Decode(unsigned char lead, unsigned char trail, char16_t& out) {
  const char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  return DecodeBytes(kGbk, in, 2, out);
}

bool CodePage936::DecodeSingle(unsigned char byte, char16_t& out) {
  const char in = static_cast<char>(byte);
  return DecodeBytes(kGbk, &in, 1, out);
}

bool CodePage936::Encode(char16_t c, std::string& out) {
  return EncodeUnit(kGbk, c, out);
}

void UseUtf8ForTerminal() {
  utf8Terminal.store(true);
}

std::string Utf16ToTerminal(std::u16string_view utf16) {
  const UINT codePage = OutputCodePage();
  if (codePage == CP_UTF8) return Utf16ToUtf8(utf16);
  if (codePage == kGbk) return Utf16ToGbk(utf16);
  // Any other code page: character by character, "?" where it has no mapping.
  std::string out;
  for (const char16_t c : utf16) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (!EncodeUnit(codePage, c, out)) {
      out.push_back(kUnmappableByte);
    }
  }
  return out;
}

std::u16string TerminalToUtf16(std::string_view terminal) {
  const UINT codePage = InputCodePage();
  if (codePage == CP_UTF8) return Utf8ToUtf16(terminal);
  if (codePage == kGbk) return GbkToUtf16(terminal);
  if (terminal.empty()) return {};
  // Other code pages: the system converts, substituting what it cannot map.
  const int size = static_cast<int>(terminal.size());
  const int length = MultiByteToWideChar(codePage, 0, terminal.data(), size, nullptr, 0);
  if (length <= 0) return std::u16string(terminal.size(), kReplacementChar);
  std::u16string out(static_cast<std::size_t>(length), u'\0');
  MultiByteToWideChar(codePage, 0, terminal.data(), size, reinterpret_cast<wchar_t*>(out.data()),
                      length);
  return out;
}

}  // namespace slotsync::text
