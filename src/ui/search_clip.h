#pragma once

// Our own stand-in for the system's find-computer clip, for systems whose
// shell32 cannot play it (Wine's holds a two-frame placeholder). A host tool
// writes it at build time and the Windows build embeds it as an "AVI"
// resource, so it is built from this code and not copied from anywhere.
//
// The clip is what the animation control plays without a codec: an
// uncompressed RIFF AVI with 8-bit palette frames. Its top-left pixel is the
// background colour, which ACS_TRANSPARENT replaces with the window's own.

#include <cstdint>
#include <vector>

namespace slotsync::ui {

inline constexpr int kSearchClipWidth = 48;
inline constexpr int kSearchClipHeight = 48;
inline constexpr int kSearchClipFrames = 8;
inline constexpr std::uint32_t kSearchClipMicrosecondsPerFrame = 125000;
// The background key, magenta: a colour the drawing never uses otherwise, so
// a control that failed to make the background transparent shows it plainly.
inline constexpr std::uint32_t kSearchClipBackgroundRgb = 0xFF00FF;

// The whole AVI file: a magnifying glass circling over a small computer.
std::vector<unsigned char> MakeSearchClip();

}  // namespace slotsync::ui
