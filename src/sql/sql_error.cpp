#include "sql/sql_error.h"

namespace slotsync::sql {
namespace {

std::string JoinMessages(const std::vector<Diagnostic>& diagnostics) {
  std::string text;
  for (const auto& d : diagnostics) {
    if (!text.empty()) text += '\n';
    text += d.message;
  }
  return text;
}

}  // namespace

SqlError::SqlError(const std::string& message)
    : std::runtime_error(message), diagnostics_{Diagnostic{{}, 0, message}} {}

SqlError::SqlError(std::vector<Diagnostic> diagnostics)
    : std::runtime_error(JoinMessages(diagnostics)), diagnostics_(std::move(diagnostics)) {}

std::string SqlError::SqlState() const {
  for (const auto& d : diagnostics_) {
    if (!d.sqlState.empty()) return d.sqlState;
  }
  return {};
}

bool SqlError::ConnectionLost() const {
  for (const auto& d : diagnostics_) {
    if (d.sqlState.size() == 5 && d.sqlState.compare(0, 2, "08") == 0) return true;
  }
  return false;
}

bool SqlError::HasNativeError(long nativeError) const {
  for (const auto& d : diagnostics_) {
    if (d.nativeError == nativeError) return true;
  }
  return false;
}

SqlError SqlError::Prefixed(const std::string& prefix) const {
  std::vector<Diagnostic> diagnostics = diagnostics_;
  if (diagnostics.empty()) diagnostics.push_back({});
  diagnostics.front().message = prefix + diagnostics.front().message;
  return SqlError(std::move(diagnostics));
}

}  // namespace slotsync::sql
