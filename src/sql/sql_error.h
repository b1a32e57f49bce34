#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace slotsync::sql {

// One diagnostic record of the database client, as it reported it.
struct Diagnostic {
  std::string sqlState;  // five characters, e.g. "42S02"; empty when unknown
  long nativeError = 0;
  std::string message;  // GBK text
};

// A failure of the database client or the server. what() holds every
// diagnostic message in the order the client gave them, one per line.
class SqlError : public std::runtime_error {
 public:
  explicit SqlError(const std::string& message);
  explicit SqlError(std::vector<Diagnostic> diagnostics);

  const std::vector<Diagnostic>& Diagnostics() const noexcept { return diagnostics_; }
  // SQLSTATE of the first record that has one, or empty text.
  std::string SqlState() const;
  // True when the link to the server broke (SQLSTATE class 08): after such a
  // failure during a commit nobody can tell whether the commit took.
  bool ConnectionLost() const;
  // Whether any record carries this native error.
  bool HasNativeError(long nativeError) const;
  // The same failure, its first message led by `prefix`: what() gains the
  // context, the records keep their SQLSTATEs and native errors.
  SqlError Prefixed(const std::string& prefix) const;

 private:
  std::vector<Diagnostic> diagnostics_;
};

}  // namespace slotsync::sql
