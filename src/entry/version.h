#pragma once

namespace slotsync {

inline constexpr const char* kVersion = SLOTSYNC_VERSION_TEXT;

}  // namespace slotsync
