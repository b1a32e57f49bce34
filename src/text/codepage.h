#pragma once

// The platform's own tables for code page 936 (glibc iconv "CP936" on POSIX,
// MultiByteToWideChar/WideCharToMultiByte on Windows), used one character at a
// time so that gbk.cpp alone decides how bad input is handled.

#include <memory>
#include <string>
#include <string_view>

namespace slotsync::text {

class CodePage936 {
 public:
  CodePage936();
  ~CodePage936();
  CodePage936(const CodePage936&) = delete;
  CodePage936& operator=(const CodePage936&) = delete;

  // A two-byte character; false when the platform has no mapping for it.
  bool Decode(unsigned char lead, unsigned char trail, char16_t& out);
  // A single byte of 0x80 and above (0x80 is the euro sign in code page 936).
  bool DecodeSingle(unsigned char byte, char16_t& out);
  // One BMP character (not a surrogate, not ASCII); appends its GBK bytes.
  bool Encode(char16_t c, std::string& out);

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

std::string Utf16ToTerminal(std::u16string_view utf16);
std::u16string TerminalToUtf16(std::string_view terminal);

#ifdef _WIN32
// From now on the terminal's texts are UTF-8, whatever the console's code
// pages. For the command for Windows, which reads its arguments and the
// console as UTF-16 and writes the console as UTF-16 itself: UTF-8 carries
// every character between it and the library, where a console code page
// would lose those it lacks.
void UseUtf8ForTerminal();
#endif

}  // namespace slotsync::text
