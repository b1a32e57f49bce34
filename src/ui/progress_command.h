#pragma once

// The progress commands other programs send to the progress window with
// WM_COPYDATA, parsed apart from any window so that the rules can be tested
// on every platform. The window only applies the result.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace slotsync::ui {

// The progress bar as the window creates it and as the reset command leaves it.
inline constexpr int kProgressMin = 0;
inline constexpr int kProgressMax = 100;
inline constexpr int kProgressStep = 10;

enum class ProgressCommandKind {
  kNone,           // no text: nothing to do, nothing to report
  kStep,           // advance the bar by its step
  kReset,          // position kProgressMin, maximum kProgressMax, step kProgressStep
  kPosition,       // set the bar's position
  kPrompt,         // replace the prompt
  kInvalidNumber,  // a digit command that is no number: report it, change nothing
};

struct ProgressCommand {
  ProgressCommandKind kind = ProgressCommandKind::kNone;
  std::int32_t position = 0;  // kPosition
  // kPrompt: the new prompt; kInvalidNumber: the message for the error box.
  // Both GBK.
  std::string text;
};

// `data` and `byteCount` are lpData and cbData of the COPYDATASTRUCT. The text
// ends at its first zero byte or after byteCount bytes, whichever comes first:
// a sender that leaves out the terminator must not make us read beyond what
// it sent. A null pointer or an empty text carries no command.
ProgressCommand ParseProgressCommand(const void* data, std::size_t byteCount);

// A whole text as a 32-bit whole number, the way the host's StrToInt reads
// it: decimal digits up to 2147483647, or "0x"/"0X" and hexadecimal digits
// up to 0xFFFFFFFF, which are taken as the 32-bit pattern (so "0xFFFFFFFF" is
// -1, and the bar clamps it to its minimum). Anything else, a sign, a blank,
// a trailing character or a larger value, is no number.
std::optional<std::int32_t> ParseWholeNumber(std::string_view text);

// "'<text>' 不是一个正确的数值." in GBK, the error box's text for an invalid
// digit command.
std::string InvalidNumberMessage(std::string_view text);

}  // namespace slotsync::ui
