#pragma once

// Helpers of the Windows test programs: finding windows, reading their
// geometry, capturing what the screen shows, writing it as a PNG file.

#include "platform/win32_api.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace slotsync::wintest {

inline std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

inline bool HasClass(HWND window, const wchar_t* className) {
  return _wcsicmp(ClassOf(window).c_str(), className) == 0;
}

namespace detail {

struct Search {
  const std::function<bool(HWND)>* accept;
  HWND found;
};

inline BOOL CALLBACK AcceptWindow(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<Search*>(data);
  if ((*search->accept)(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

// The system's own input method windows ("IME", "MSCTFIME UI"), which it
// gives every thread that has created a window, are not the program's.
inline bool IsInputMethodWindow(HWND window) {
  return HasClass(window, L"IME") || HasClass(window, L"MSCTFIME UI");
}

inline BOOL CALLBACK CountWindow(HWND window, LPARAM data) {
  if (!IsInputMethodWindow(window)) ++*reinterpret_cast<int*>(data);
  return TRUE;
}

}  // namespace detail

// The first top-level window of `thread` that satisfies `accept`, or null.
inline HWND FindThreadWindow(DWORD thread, const std::function<bool(HWND)>& accept) {
  detail::Search search{&accept, nullptr};
  EnumThreadWindows(thread, detail::AcceptWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The thread's top-level windows, the system's input method windows aside.
inline int CountThreadWindows(DWORD thread) {
  int count = 0;
  EnumThreadWindows(thread, detail::CountWindow, reinterpret_cast<LPARAM>(&count));
  return count;
}

// The visible message box (#32770) of `thread`, waiting up to `timeoutMs`.
inline HWND WaitForMessageBox(DWORD thread, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    const HWND box = FindThreadWindow(
        thread, [](HWND w) { return HasClass(w, L"#32770") && IsWindowVisible(w) != 0; });
    if (box != nullptr) return box;
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return nullptr;
}

// A child's rectangle in its parent's client coordinates.
inline RECT RectInParent(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

inline bool SameRect(const RECT& a, int left, int top, int width, int height) {
  return a.left == left && a.top == top && a.right - a.left == width && a.bottom - a.top == height;
}

inline std::wstring TextOf(HWND window) {
  wchar_t text[1024] = {};
  SendMessageW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
  return text;
}

inline std::string Narrow(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  out.resize(std::strlen(out.c_str()));
  return out;
}

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // 0x00RRGGBB, rows top-down

  std::uint32_t At(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
  bool operator==(const Image& other) const {
    return width == other.width && height == other.height && pixels == other.pixels;
  }
};

// What the screen shows in `rect` (screen coordinates), as a person sees it.
inline Image CaptureScreen(const RECT& rect) {
  Image image;
  image.width = rect.right - rect.left;
  image.height = rect.bottom - rect.top;
  image.pixels.assign(
      static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height), 0);
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = image.width;
  info.bmiHeader.biHeight = -image.height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr && bits != nullptr) {
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, image.width, image.height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const auto* source = static_cast<const std::uint32_t*>(bits);
    for (std::size_t i = 0; i < image.pixels.size(); ++i) image.pixels[i] = source[i] & 0xFFFFFF;
    SelectObject(memory, old);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return image;
}

inline Image CaptureWindow(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return CaptureScreen(rect);
}

// A PNG needs no library: zlib "stored" blocks carry the rows uncompressed.
namespace png {

inline std::uint32_t Crc(const unsigned char* data, std::size_t size, std::uint32_t crc) {
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

inline void Put32(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<unsigned char>(value >> shift));
}

inline void Chunk(std::vector<unsigned char>& out, const char* type,
                  const std::vector<unsigned char>& data) {
  Put32(out, static_cast<std::uint32_t>(data.size()));
  std::vector<unsigned char> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  Put32(out, Crc(body.data(), body.size(), 0));
}

}  // namespace png

inline bool WritePng(const Image& image, const char* path) {
  std::vector<unsigned char> raw;  // filter byte 0, then RGB, for each row
  for (int y = 0; y < image.height; ++y) {
    raw.push_back(0);
    for (int x = 0; x < image.width; ++x) {
      const std::uint32_t p = image.At(x, y);
      raw.push_back(static_cast<unsigned char>(p >> 16));
      raw.push_back(static_cast<unsigned char>(p >> 8));
      raw.push_back(static_cast<unsigned char>(p));
    }
  }
  std::vector<unsigned char> zlib = {0x78, 0x01};
  std::size_t at = 0;
  do {
    const std::size_t length = raw.size() - at < 65535 ? raw.size() - at : 65535;
    const bool last = at + length == raw.size();
    zlib.push_back(last ? 1 : 0);
    zlib.push_back(static_cast<unsigned char>(length & 0xFF));
    zlib.push_back(static_cast<unsigned char>(length >> 8));
    zlib.push_back(static_cast<unsigned char>(~length & 0xFF));
    zlib.push_back(static_cast<unsigned char>((~length >> 8) & 0xFF));
    zlib.insert(zlib.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                raw.begin() + static_cast<std::ptrdiff_t>(at + length));
    at += length;
  } while (at < raw.size());
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (const unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  png::Put32(zlib, (b << 16) | a);

  std::vector<unsigned char> header;
  png::Put32(header, static_cast<std::uint32_t>(image.width));
  png::Put32(header, static_cast<std::uint32_t>(image.height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace

  std::vector<unsigned char> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  png::Chunk(file, "IHDR", header);
  png::Chunk(file, "IDAT", zlib);
  png::Chunk(file, "IEND", {});
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  return std::fclose(out) == 0 && written;
}

}  // namespace slotsync::wintest
