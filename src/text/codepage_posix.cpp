#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "text/codepage.h"
#include "text/gbk.h"

namespace slotsync::text {
namespace {

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      // Not translated: the catalog's own texts come through this converter,
      // so without it there is no Chinese to say it in.
      throw std::runtime_error(std::string("iconv cannot convert from ") + from +  // not a message
                               " to " + to);
    }
  }
  ~Iconv() { iconv_close(cd_); }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  // Converts the whole input or nothing; false on any conversion error.
  bool Convert(const void* in, std::size_t inSize, void* out, std::size_t& outSize) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    auto* inPtr = const_cast<char*>(static_cast<const char*>(in));
    auto* outPtr = static_cast<char*>(out);
    std::size_t inLeft = inSize;
    std::size_t outLeft = outSize;
    const std::size_t rc = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
    if (rc == static_cast<std::size_t>(-1) || inLeft != 0) return false;
    outSize -= outLeft;
    return true;
  }

 private:
  iconv_t cd_;
};

constexpr const char* kUtf16 = "UTF-16LE";

char16_t FromLittleEndian(const unsigned char* bytes) {
  return static_cast<char16_t>(bytes[0] | (bytes[1] << 8));
}

// The C and POSIX locales (cron, services, LANG unset) name ASCII, which has
// no Chinese at all: UTF-8 is what any terminal or log reader of today shows,
// and text typed there with bytes above 0x7F is UTF-8 in practice.
bool IsUtf8Codeset(const char* codeset) {
  return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0 ||
         std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "ASCII") == 0;
}

}  // namespace

struct CodePage936::Handles {
  Iconv decode{kUtf16, "CP936"};
  Iconv encode{"CP936", kUtf16};
};

CodePage936::CodePage936() : handles_(std::make_unique<Handles>()) {}
CodePage936::~CodePage936() = default;

bool CodePage936::Decode(unsigned char lead, unsigned char trail, char16_t& out) {
  const unsigned char in[2] = {lead, trail};
  unsigned char buffer[8];
  std::size_t size = sizeof buffer;
  if (!handles_->decode.Convert(in, sizeof in, buffer, size) || size != 2) return false;
  out = FromLittleEndian(buffer);
  return true;
}

bool CodePage936::DecodeSingle(unsigned char byte, char16_t& out) {
  unsigned char buffer[8];
  std::size_t size = sizeof buffer;
  if (!handles_->decode.Convert(&byte, 1, buffer, size) || size != 2) return false;
  out = FromLittleEndian(buffer);
  return true;
}

bool CodePage936::Encode(char16_t c, std::string& out) {
  const unsigned char in[2] = {static_cast<unsigned char>(c & 0xFF),
                               static_cast<unsigned char>(c >> 8)};
  char buffer[8];
  std::size_t size = sizeof buffer;
  if (!handles_->encode.Convert(in, sizeof in, buffer, size) || size == 0) return false;
  out.append(buffer, size);
  return true;
}

std::string Utf16ToTerminal(std::u16string_view utf16) {
  const char* codeset = nl_langinfo(CODESET);
  if (IsUtf8Codeset(codeset)) return Utf16ToUtf8(utf16);
  // Any other locale: character by character, "?" where it has no mapping.
  Iconv encode(codeset, kUtf16);
  std::string out;
  for (const char16_t c : utf16) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    const unsigned char in[2] = {static_cast<unsigned char>(c & 0xFF),
                                 static_cast<unsigned char>(c >> 8)};
    char buffer[16];
    std::size_t size = sizeof buffer;
    if (encode.Convert(in, sizeof in, buffer, size) && size > 0) {
      out.append(buffer, size);
    } else {
      out.push_back(kUnmappableByte);
    }
  }
  return out;
}

std::u16string TerminalToUtf16(std::string_view terminal) {
  const char* codeset = nl_langinfo(CODESET);
  if (IsUtf8Codeset(codeset)) return Utf8ToUtf16(terminal);
  if (std::strcmp(codeset, "GBK") == 0 || std::strcmp(codeset, "GB18030") == 0 ||
      std::strcmp(codeset, "GB2312") == 0) {
    return GbkToUtf16(terminal);
  }
  // Reserved whole: the text may be a password, and a buffer outgrown on
  // the way would be left behind with part of it.
  std::u16string out;
  out.reserve(terminal.size());
  for (const char c : terminal) {
    const auto byte = static_cast<unsigned char>(c);
    // Outside UTF-8 and GBK locales, non-ASCII input is taken as Latin-1;
    // anything else would guess at a multi-byte structure we do not know.
    out.push_back(byte);
  }
  return out;
}

}  // namespace slotsync::text
