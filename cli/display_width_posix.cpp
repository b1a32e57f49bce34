#include <locale.h>
#include <wchar.h>

#include "display_width.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

// The C library knows each character's width only under a UTF-8 locale;
// the command may run under "C" (cron, services), so it asks under its own.
class Utf8Widths {
 public:
  Utf8Widths() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {}
  ~Utf8Widths() {
    if (locale_ != static_cast<locale_t>(nullptr)) freelocale(locale_);
  }
  Utf8Widths(const Utf8Widths&) = delete;
  Utf8Widths& operator=(const Utf8Widths&) = delete;

  std::size_t Of(const std::u32string& text) const {
    const locale_t before =
        uselocale(locale_ != static_cast<locale_t>(nullptr) ? locale_ : LC_GLOBAL_LOCALE);
    std::size_t width = 0;
    for (const char32_t c : text) {
      const int columns = wcwidth(static_cast<wchar_t>(c));
      // Unknown to the locale: a CJK ideograph or a full-width form takes two.
      width += columns >= 0 ? static_cast<std::size_t>(columns) : (c >= 0x1100 ? 2 : 1);
    }
    uselocale(before);
    return width;
  }

 private:
  locale_t locale_;
};

std::u32string CodePoints(const std::u16string& utf16) {
  std::u32string points;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t c = utf16[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < utf16.size()) {
      points.push_back(0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                       (static_cast<char32_t>(utf16[++i]) - 0xDC00));
    } else {
      points.push_back(c);
    }
  }
  return points;
}

}  // namespace

std::size_t DisplayWidth(std::string_view gbk) {
  static const Utf8Widths widths;
  return widths.Of(CodePoints(text::Utf8ToUtf16(text::GbkToUtf8(gbk))));
}

}  // namespace slotsync::cli
