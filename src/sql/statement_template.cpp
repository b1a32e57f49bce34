#include "sql/statement_template.h"

#include <stdexcept>

namespace slotsync::sql {
namespace {

// A misused template is a mistake in the code, never the user's: its texts
// are for the developer and stay as they are.
[[noreturn]] void Misuse(std::string_view pattern, const std::string& what) {
  throw std::logic_error("statement template \"" + std::string(pattern) +  // not a message
                         "\": " + what);
}

}  // namespace

std::string FormatTemplate(std::string_view pattern, std::initializer_list<TemplateArg> args) {
  std::string out;
  out.reserve(pattern.size() + 32);
  auto next = args.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      out.push_back(pattern[i]);
      continue;
    }
    if (i + 1 == pattern.size()) Misuse(pattern, "ends with a lone '%'");  // not a message
    const char kind = pattern[++i];
    if (kind == '%') {
      out.push_back('%');
      continue;
    }
    if (kind != 's' && kind != 'd') {
      Misuse(pattern, std::string("unknown placeholder %") + kind);  // not a message
    }
    if (next == args.end()) Misuse(pattern, "more placeholders than arguments");  // not a message
    const auto& value = next->Value();
    ++next;
    if (kind == 's') {
      const auto* text = std::get_if<std::string_view>(&value);
      if (text == nullptr) Misuse(pattern, "%s given an integer");  // not a message
      out.append(*text);
    } else {
      const auto* number = std::get_if<std::int32_t>(&value);
      if (number == nullptr) Misuse(pattern, "%d given a text");
      out.append(std::to_string(*number));
    }
  }
  if (next != args.end()) Misuse(pattern, "more arguments than placeholders");  // not a message
  return out;
}

}  // namespace slotsync::sql
