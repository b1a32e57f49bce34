#pragma once

// The command's own messages for the terminal: translated (text/messages.h),
// then in the terminal's encoding, like every text the command prints.

#include <string>

#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::cli {

inline std::string Say(const char* message) {
  return text::GbkToTerminal(text::Tr(message));
}

// The arguments are in the terminal's encoding already (an option as typed,
// a text shown with Shown()); the message is converted before they go in.
template <typename... Args>
std::string SayFormat(const char* message, const Args&... args) {
  return text::Format(text::GbkToTerminal(text::Tr(message)), args...);
}

// The same for a message with a singular and a plural form.
template <typename... Args>
std::string SayPlural(const char* singular, const char* plural, long long count,
                      const Args&... args) {
  return text::Format(text::GbkToTerminal(text::detail::PluralMessage(singular, plural, count)),
                      args...);
}

}  // namespace slotsync::cli
