#pragma once

// Text for the wide Windows API. The library's texts are GBK; converting them
// with code page 936 ourselves, instead of handing the bytes to the ANSI
// functions, shows the Chinese correctly whatever the system's ANSI code page
// is, not only on a Chinese Windows.

#include <string>
#include <string_view>

#include "text/gbk.h"

namespace slotsync::ui {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");  // not a message

inline std::wstring WideFromGbk(std::string_view gbk) {
  const std::u16string utf16 = text::GbkToUtf16(gbk);
  return std::wstring(utf16.begin(), utf16.end());
}

}  // namespace slotsync::ui
