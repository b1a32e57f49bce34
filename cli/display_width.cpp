#include "display_width.h"

#include "text/gbk.h"

namespace slotsync::cli {
namespace {

std::size_t BlanksFor(const std::string& shown, std::size_t width) {
  const std::size_t taken = ShownWidth(shown);
  return taken < width ? width - taken : 0;
}

}  // namespace

std::size_t ShownWidth(std::string_view shown) {
  // ASCII needs no conversion: a column a byte.
  return text::IsAscii(shown) ? shown.size() : DisplayWidth(text::TerminalToGbk(shown));
}

std::string PadToWidth(const std::string& shown, std::string_view gbk, std::size_t width) {
  const std::size_t taken = DisplayWidth(gbk);
  return shown + std::string(taken < width ? width - taken : 1, ' ');
}

std::string Left(const std::string& shown, std::size_t width) {
  return shown + std::string(BlanksFor(shown, width), ' ');
}

std::string Right(const std::string& shown, std::size_t width) {
  return std::string(BlanksFor(shown, width), ' ') + shown;
}

}  // namespace slotsync::cli
