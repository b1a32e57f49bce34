#include "ui/progress_command.h"

#include <cstring>
#include <limits>

namespace slotsync::ui {
namespace {

// "不是一个正确的数值" in GBK.
constexpr const char* kNotANumber =
    "\xB2\xBB\xCA\xC7\xD2\xBB\xB8\xF6\xD5\xFD\xC8\xB7\xB5\xC4\xCA\xFD\xD6\xB5";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::optional<std::int32_t> ParseWholeNumber(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    const std::string_view digits = text.substr(2);
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
      const int digit = HexDigit(c);
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<std::uint64_t>(digit);
      if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

std::string InvalidNumberMessage(std::string_view text) {
  std::string message = "'";
  message.append(text);
  message.append("' ");
  message.append(kNotANumber);
  message.push_back('.');
  return message;
}

ProgressCommand ParseProgressCommand(const void* data, std::size_t byteCount) {
  ProgressCommand command;
  if (data == nullptr || byteCount == 0) return command;
  const auto* bytes = static_cast<const char*>(data);
  const void* terminator = std::memchr(bytes, '\0', byteCount);
  const std::size_t length =
      terminator != nullptr ? static_cast<std::size_t>(static_cast<const char*>(terminator) - bytes)
                            : byteCount;
  const std::string_view text(bytes, length);
  if (text.empty()) return command;

  const char first = text.front();
  if (first == ' ') {
    command.kind = ProgressCommandKind::kStep;
  } else if (first == '-') {
    command.kind = ProgressCommandKind::kReset;
  } else if (IsDigit(first)) {
    if (const std::optional<std::int32_t> number = ParseWholeNumber(text)) {
      command.kind = ProgressCommandKind::kPosition;
      command.position = *number;
    } else {
      command.kind = ProgressCommandKind::kInvalidNumber;
      command.text = InvalidNumberMessage(text);
    }
  } else {
    command.kind = ProgressCommandKind::kPrompt;
    command.text = std::string(text);
  }
  return command;
}

}  // namespace slotsync::ui
