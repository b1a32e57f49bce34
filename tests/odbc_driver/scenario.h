#pragma once

// The scripted ODBC driver's scenario: what a database answers, statement by
// statement, written as a small line-based text file (README.md in this
// folder describes the format). The driver reads one when a connection
// opens; the end-to-end tests write them with ScenarioWriter. Texts are UTF-8
// throughout, the encoding the driver compares and logs in.
//
// Nothing here depends on ODBC, so the parser and the writer can be tested
// and used on their own.

#include <cstddef>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace scripted_odbc {

using Cell = std::optional<std::string>;  // nullopt is SQL NULL

struct Failure {
  std::string sqlState;  // five characters
  std::string message;
  long nativeError = 0;  // the server's error number, written "STATE:NUMBER"
};

// One result of a statement: a failure, rows under a header, or neither (a
// statement that returns no rows, such as an UPDATE).
struct Result {
  std::optional<Failure> failure;
  // Diagnostics of a result that succeeds "with information": warnings, or
  // an error a driver reports that way (FreeTDS does for some).
  std::vector<Failure> information;
  bool hasColumns = false;
  std::vector<std::string> columns;
  std::vector<std::vector<Cell>> rows;
  long rowsAffected = -1;  // what SQLRowCount reports
  // Non-zero: executing the statement sends this signal to the process, as a
  // user's Ctrl+C would, then runs until SQLCancel stops it.
  int raiseSignal = 0;
  // Executing the statement leaves the process's standard output a pipe
  // nobody reads any more, as when `slotsync | head` has read enough.
  bool closeOutput = false;
  // Whom the signal goes to: this process ("signal"), its whole process
  // group as a terminal's Ctrl+C ("signal-group"), or its parent
  // ("signal-parent", a stop request to the command that started it).
  enum class SignalTo { kSelf, kGroup, kParent } signalTo = SignalTo::kSelf;
  // Runs until SQLCancel stops it, sending no signal ("wait-for-cancel"):
  // a long statement another process's Ctrl+C reaches.
  bool waitForCancel = false;
};

// What one execution of a statement produces: its first result and any
// further ones that SQLMoreResults moves to, as a batch would.
struct Answer {
  std::vector<Result> results;
};

// The points of a connection's life, besides its statements, that a scenario
// can make fail.
// kEndTransaction: switching autocommit back on once a transaction ended.
enum class Call { kConnect, kStartTransaction, kCommit, kRollback, kDisconnect, kEndTransaction };

// "<call> fail ..." fails the call every time; "<call> fail-once ..." the
// first time only, after which it succeeds.
struct CallFailure {
  Failure failure;
  bool once = false;
};

struct Scenario {
  // Keyed by exact statement text; the answers are given in turn, and the
  // last one keeps answering once the others are used up.
  std::map<std::string, std::vector<Answer>> answers;
  std::map<Call, CallFailure> callFailures;
};

class ScenarioError : public std::runtime_error {
 public:
  ScenarioError(std::size_t line, const std::string& problem)
      : std::runtime_error("line " + std::to_string(line) + ": " + problem), line_(line) {}
  std::size_t Line() const { return line_; }

 private:
  std::size_t line_;
};

// Throws ScenarioError naming the line of the first problem.
Scenario ParseScenario(std::string_view text);

// The keyword a Call is written with ("connect", "start-transaction", ...).
std::string_view CallKeyword(Call call);

// The escapes of the format: "\\", "\n", "\r", "\t", "\s" (a blank), "\|"
// and "\xHH". Escape writes every character that could be misread: the
// backslash, "|", control characters, and a blank at either end.
std::string Escape(std::string_view text);
// Throws std::invalid_argument on a malformed escape.
std::string Unescape(std::string_view text);

// Builds a scenario file. Every method appends a block; the same statement
// given again queues a further answer for it.
class ScenarioWriter {
 public:
  ScenarioWriter& Comment(std::string_view text);
  ScenarioWriter& Rows(std::string_view statement, const std::vector<std::string>& columns,
                       const std::vector<std::vector<Cell>>& rows);
  // A statement that returns no rows; rowsAffected for SQLRowCount.
  ScenarioWriter& Done(std::string_view statement, long rowsAffected = -1);
  ScenarioWriter& Fail(std::string_view statement, std::string_view sqlState,
                       std::string_view message, long nativeError = 0);
  // Adds a diagnostic to the block just written: the statement then
  // succeeds with SQL_SUCCESS_WITH_INFO.
  ScenarioWriter& Info(std::string_view sqlState, long nativeError, std::string_view message);
  ScenarioWriter& FailCall(Call call, std::string_view sqlState, std::string_view message,
                           bool once = false);
  // Appends a finished block as it stands, for what the methods above do not
  // cover (several results, say).
  ScenarioWriter& Raw(std::string_view lines);

  const std::string& Text() const { return text_; }
  void Save(const std::string& path) const;  // throws std::runtime_error

 private:
  void Statement(std::string_view statement);
  std::string text_;
};

}  // namespace scripted_odbc
