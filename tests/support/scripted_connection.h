#pragma once

// An in-memory database client for tests: it answers queries by their exact
// text, fails chosen statements and calls, and logs everything it is asked,
// in order, so that tests can assert whole statement sequences.

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sql/connection.h"

namespace slotsync::testing {

struct ScriptedFailure {
  std::string message;
  std::string sqlState = "42000";
  long nativeError = 0;
};

// A result given as a header and rows; "NULL" is written as std::nullopt.
sql::ResultSet Rows(std::vector<std::string> columns, std::vector<std::vector<sql::Value>> rows);
// A one-column result with one row per value.
sql::ResultSet Column(std::string name, std::vector<sql::Value> values);

class Script {
 public:
  using Reply = std::variant<sql::ResultSet, ScriptedFailure>;

  // Each call queues one answer for the text; answers are used in turn and
  // the last one keeps answering once the others are used up.
  Script& Answer(const std::string& text, sql::ResultSet result);
  Script& Fail(const std::string& text, std::string message, std::string sqlState = "42000",
               long nativeError = 0);
  // Fails the call at this position of the log (0 = the first call), whatever it is.
  Script& FailCallAt(std::size_t position, std::string message, std::string sqlState = "42000",
                     long nativeError = 0);
  // The statement succeeds with this warning (or any other message a server
  // sends "with information"), each time it is sent.
  Script& Warn(const std::string& text, sql::Diagnostic warning);

  Script& FailConnect(std::string message, std::string sqlState = "08001");
  Script& FailStartTransaction(std::string message, std::string sqlState = "HY000");
  Script& FailCommit(std::string message, std::string sqlState = "HY000");
  Script& FailRollback(std::string message, std::string sqlState = "HY000");
  Script& FailDisconnect(std::string message, std::string sqlState = "HY000");

  // When set, a query without a scripted answer fails instead of returning
  // an empty result. Unless scripted, "Select XACT_STATE()" is answered as a
  // server would: 1 inside a transaction, 0 outside.
  Script& Strict(bool strict = true);

  // Every call in order: "CONNECT", "OPEN <text>", "EXEC <text>",
  // "START TRANSACTION", "COMMIT", "ROLLBACK", "DISCONNECT", and "RELEASE"
  // when the client object is destroyed.
  const std::vector<std::string>& Log() const { return log_; }
  // Lets other test doubles (a window, a rebuilder) add to the same log, so
  // that one sequence shows the order of everything.
  void Note(std::string entry) { log_.push_back(std::move(entry)); }

  // Only the OPEN and EXEC entries.
  std::vector<std::string> Statements() const;
  bool Connected() const { return connected_; }

 private:
  friend class ScriptedConnection;
  std::optional<ScriptedFailure> LogCall(std::string entry);
  std::optional<Reply> Take(const std::string& text);

  std::map<std::string, std::deque<Reply>> answers_;
  std::map<std::size_t, ScriptedFailure> failAt_;
  std::map<std::string, ScriptedFailure> callFailures_;
  std::map<std::string, std::vector<sql::Diagnostic>> warnings_;
  std::vector<std::string> log_;
  bool strict_ = false;
  bool connected_ = false;
  bool inTransaction_ = false;
};

class ScriptedConnection : public sql::Connection {
 public:
  explicit ScriptedConnection(Script& script) : script_(script) {}
  ~ScriptedConnection() override;
  ScriptedConnection(const ScriptedConnection&) = delete;
  ScriptedConnection& operator=(const ScriptedConnection&) = delete;

  void Connect() override;
  bool IsConnected() const override { return script_.connected_; }
  void Disconnect() override;
  sql::ResultSet Query(const std::string& statement) override;
  void Execute(const std::string& statement) override;
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  std::vector<sql::Diagnostic> TakeWarnings() override;

 private:
  void Call(const std::string& entry);
  Script& script_;
  std::vector<sql::Diagnostic> warnings_;
};

}  // namespace slotsync::testing
