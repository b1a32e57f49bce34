#include "display_width.h"

namespace slotsync::cli {

std::string PadToWidth(const std::string& shown, std::string_view gbk, std::size_t width) {
  const std::size_t taken = DisplayWidth(gbk);
  return shown + std::string(taken < width ? width - taken : 1, ' ');
}

}  // namespace slotsync::cli
