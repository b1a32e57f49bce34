#pragma once

// Statement templates: every statement is plain text made by filling a
// template. "%s" takes a text unchanged, "%d" a 32-bit integer in decimal
// (with a leading minus sign when negative) and "%%" stands for one "%".
// Any other use of "%", or a count or kind of arguments that does not match
// the placeholders, is a programming error and throws std::logic_error.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace slotsync::sql {

class TemplateArg {
 public:
  TemplateArg(std::string_view text) : value_(text) {}  // NOLINT(google-explicit-constructor)
  TemplateArg(const std::string& text) : value_(std::string_view(text)) {}  // NOLINT
  TemplateArg(const char* text) : value_(std::string_view(text)) {}         // NOLINT
  TemplateArg(std::int32_t number) : value_(number) {}                      // NOLINT

  const std::variant<std::string_view, std::int32_t>& Value() const { return value_; }

 private:
  std::variant<std::string_view, std::int32_t> value_;
};

std::string FormatTemplate(std::string_view pattern, std::initializer_list<TemplateArg> args);

template <typename... Args>
std::string Format(std::string_view pattern, const Args&... args) {
  return FormatTemplate(pattern, {TemplateArg(args)...});
}

}  // namespace slotsync::sql
