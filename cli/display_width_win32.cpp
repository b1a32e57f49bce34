#include "display_width.h"

#include "text/gbk.h"

namespace slotsync::cli {

// Windows has no wcwidth; the console shows every double-byte GBK character
// (the Chinese ones, full-width forms) in two columns.
std::size_t DisplayWidth(std::string_view gbk) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < gbk.size(); ++i) {
    const bool pair = text::IsGbkLeadByte(static_cast<unsigned char>(gbk[i])) && i + 1 < gbk.size();
    width += pair ? 2 : 1;
    if (pair) ++i;
  }
  return width;
}

}  // namespace slotsync::cli
