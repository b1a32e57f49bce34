#pragma once

#include <string_view>

namespace slotsync::text {

// Compares two GBK texts without regard to the case of ASCII letters.
// Only ASCII letters fold: letters outside ASCII are compared byte for byte,
// and the two bytes of a GBK character are never folded, because a trail
// byte can take the value of an ASCII letter (0x41-0x5A, 0x61-0x7A) and
// folding it would turn one Chinese character into another.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

}  // namespace slotsync::text
