#include "ui/search_clip.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace slotsync::ui {
namespace {

constexpr std::size_t kWidth = kSearchClipWidth;
constexpr std::size_t kHeight = kSearchClipHeight;
constexpr std::size_t kFrameBytes = kWidth * kHeight;  // rows of 48 bytes need no padding

// Palette indices.
enum Colour : unsigned char {
  kBackground,
  kBlack,
  kDarkGrey,
  kLightGrey,
  kScreen,
  kGlass,
  kHandle,
  kWhite,
  kColourCount
};

constexpr std::array<std::uint32_t, kColourCount> kPalette = {
    kSearchClipBackgroundRgb, 0x000000, 0x808080, 0xC0C0C0, 0x000080, 0xA0E0FF, 0x804000, 0xFFFFFF,
};

using Frame = std::array<unsigned char, kFrameBytes>;

void Fill(Frame& frame, int left, int top, int right, int bottom, Colour colour) {
  for (int y = top; y <= bottom; ++y) {
    for (int x = left; x <= right; ++x) {
      if (x < 0 || y < 0 || x >= kSearchClipWidth || y >= kSearchClipHeight) continue;
      frame[static_cast<std::size_t>(y) * kWidth + static_cast<std::size_t>(x)] = colour;
    }
  }
}

void Box(Frame& frame, int left, int top, int right, int bottom, Colour inside) {
  Fill(frame, left, top, right, bottom, kBlack);
  Fill(frame, left + 1, top + 1, right - 1, bottom - 1, inside);
}

void DrawComputer(Frame& frame) {
  Box(frame, 9, 8, 38, 31, kLightGrey);  // monitor
  Box(frame, 12, 11, 35, 28, kScreen);
  Fill(frame, 21, 32, 26, 34, kDarkGrey);  // stand
  Box(frame, 14, 35, 33, 38, kLightGrey);  // base
}

// The glass centred at (cx, cy) with its handle towards the bottom right.
void DrawMagnifier(Frame& frame, int cx, int cy) {
  for (int y = cy - 7; y <= cy + 7; ++y) {
    for (int x = cx - 7; x <= cx + 7; ++x) {
      const int d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
      if (d2 <= 20) {
        Fill(frame, x, y, x, y, kGlass);
      } else if (d2 <= 50) {
        Fill(frame, x, y, x, y, kBlack);
      }
    }
  }
  Fill(frame, cx - 3, cy - 3, cx - 2, cy - 2, kWhite);  // a glint on the glass
  for (int t = 5; t <= 10; ++t) Fill(frame, cx + t, cy + t, cx + t + 1, cy + t + 1, kHandle);
}

// Eight steps of a circle of radius 8, whole pixels, clockwise from the right.
constexpr std::array<std::array<int, 2>, kSearchClipFrames> kPath = {{
    {8, 0},
    {6, 6},
    {0, 8},
    {-6, 6},
    {-8, 0},
    {-6, -6},
    {0, -8},
    {6, -6},
}};

Frame DrawFrame(int index) {
  Frame frame{};
  frame.fill(kBackground);
  DrawComputer(frame);
  const auto& offset = kPath[static_cast<std::size_t>(index)];
  DrawMagnifier(frame, 22 + offset[0], 20 + offset[1]);
  return frame;
}

class Writer {
 public:
  std::vector<unsigned char>& bytes() { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

  void U16(std::uint32_t value) {
    bytes_.push_back(static_cast<unsigned char>(value & 0xFF));
    bytes_.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
  }
  void U32(std::uint32_t value) {
    U16(value & 0xFFFF);
    U16(value >> 16);
  }
  void FourCc(std::string_view code) {
    for (const char c : code) bytes_.push_back(static_cast<unsigned char>(c));
  }
  // Starts a chunk (or a LIST/RIFF with its form type) and returns where its
  // size goes; End fills the size in and pads to an even length.
  std::size_t Begin(std::string_view id, std::string_view form = {}) {
    FourCc(id);
    const std::size_t at = size();
    U32(0);
    if (!form.empty()) FourCc(form);
    return at;
  }
  void End(std::size_t sizeAt) {
    const auto length = static_cast<std::uint32_t>(size() - sizeAt - 4);
    for (std::size_t i = 0; i < 4; ++i) {
      bytes_[sizeAt + i] = static_cast<unsigned char>((length >> (8 * i)) & 0xFF);
    }
    if (size() % 2 != 0) bytes_.push_back(0);
  }

 private:
  std::vector<unsigned char> bytes_;
};

}  // namespace

std::vector<unsigned char> MakeSearchClip() {
  constexpr auto kFrames = static_cast<std::uint32_t>(kSearchClipFrames);
  constexpr auto kFrameSize = static_cast<std::uint32_t>(kFrameBytes);
  constexpr std::uint32_t kFramesPerSecond = 1000000 / kSearchClipMicrosecondsPerFrame;
  constexpr std::uint32_t kHasIndex = 0x10;  // AVIF_HASINDEX
  constexpr std::uint32_t kKeyFrame = 0x10;  // AVIIF_KEYFRAME

  Writer w;
  const std::size_t riff = w.Begin("RIFF", "AVI ");
  const std::size_t hdrl = w.Begin("LIST", "hdrl");

  const std::size_t avih = w.Begin("avih");
  w.U32(kSearchClipMicrosecondsPerFrame);
  w.U32(kFrameSize * kFramesPerSecond);  // dwMaxBytesPerSec
  w.U32(0);                              // dwPaddingGranularity
  w.U32(kHasIndex);
  w.U32(kFrames);
  w.U32(0);  // dwInitialFrames
  w.U32(1);  // dwStreams
  w.U32(kFrameSize);
  w.U32(kSearchClipWidth);
  w.U32(kSearchClipHeight);
  for (int i = 0; i < 4; ++i) w.U32(0);
  w.End(avih);

  const std::size_t strl = w.Begin("LIST", "strl");
  const std::size_t strh = w.Begin("strh");
  w.FourCc("vids");
  w.U32(0);  // fccHandler: none, the frames are plain DIBs
  w.U32(0);  // dwFlags
  w.U16(0);  // wPriority
  w.U16(0);  // wLanguage
  w.U32(0);  // dwInitialFrames
  w.U32(1);  // dwScale
  w.U32(kFramesPerSecond);
  w.U32(0);  // dwStart
  w.U32(kFrames);
  w.U32(kFrameSize);
  w.U32(0xFFFFFFFF);  // dwQuality: default
  w.U32(0);           // dwSampleSize: frames vary in principle
  w.U16(0);           // rcFrame
  w.U16(0);
  w.U16(kSearchClipWidth);
  w.U16(kSearchClipHeight);
  w.End(strh);

  const std::size_t strf = w.Begin("strf");  // BITMAPINFOHEADER and palette
  w.U32(40);
  w.U32(kSearchClipWidth);
  w.U32(kSearchClipHeight);  // positive: rows bottom-up
  w.U16(1);                  // biPlanes
  w.U16(8);                  // biBitCount
  w.U32(0);                  // BI_RGB
  w.U32(kFrameSize);
  w.U32(0);
  w.U32(0);
  w.U32(kColourCount);
  w.U32(0);
  for (const std::uint32_t rgb : kPalette) {  // RGBQUAD: blue, green, red, reserved
    w.U16(((rgb & 0xFF) << 0) | (((rgb >> 8) & 0xFF) << 8));
    w.U16((rgb >> 16) & 0xFF);
  }
  w.End(strf);
  w.End(strl);
  w.End(hdrl);

  const std::size_t movi = w.Begin("LIST", "movi");
  const std::size_t moviData = movi + 4;  // idx1 offsets count from the "movi" type
  std::vector<std::uint32_t> offsets;
  for (int index = 0; index < kSearchClipFrames; ++index) {
    offsets.push_back(static_cast<std::uint32_t>(w.size() - moviData));
    const std::size_t chunk = w.Begin("00db");
    const Frame frame = DrawFrame(index);
    for (std::size_t row = kHeight; row-- > 0;) {
      w.bytes().insert(w.bytes().end(), frame.begin() + static_cast<std::ptrdiff_t>(row * kWidth),
                       frame.begin() + static_cast<std::ptrdiff_t>((row + 1) * kWidth));
    }
    w.End(chunk);
  }
  w.End(movi);

  const std::size_t idx1 = w.Begin("idx1");
  for (const std::uint32_t offset : offsets) {
    w.FourCc("00db");
    w.U32(kKeyFrame);
    w.U32(offset);
    w.U32(kFrameSize);
  }
  w.End(idx1);
  w.End(riff);
  return std::move(w.bytes());
}

}  // namespace slotsync::ui
