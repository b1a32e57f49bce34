#include "scripted_connection.h"

#include <utility>

#include "sql/sql_access.h"
#include "sql/sql_error.h"

namespace slotsync::testing {
namespace {

[[noreturn]] void Raise(const ScriptedFailure& failure) {
  throw sql::SqlError({sql::Diagnostic{failure.sqlState, failure.nativeError, failure.message}});
}

}  // namespace

sql::ResultSet Rows(std::vector<std::string> columns, std::vector<std::vector<sql::Value>> rows) {
  return sql::ResultSet{std::move(columns), std::move(rows)};
}

sql::ResultSet Column(std::string name, std::vector<sql::Value> values) {
  sql::ResultSet result{{std::move(name)}, {}};
  for (auto& value : values) result.rows.push_back({std::move(value)});
  return result;
}

Script& Script::Answer(const std::string& text, sql::ResultSet result) {
  answers_[text].emplace_back(std::move(result));
  return *this;
}

Script& Script::Fail(const std::string& text, std::string message, std::string sqlState,
                     long nativeError) {
  answers_[text].emplace_back(
      ScriptedFailure{std::move(message), std::move(sqlState), nativeError});
  return *this;
}

Script& Script::FailCallAt(std::size_t position, std::string message, std::string sqlState,
                           long nativeError) {
  failAt_[position] = ScriptedFailure{std::move(message), std::move(sqlState), nativeError};
  return *this;
}

Script& Script::Warn(const std::string& text, sql::Diagnostic warning) {
  warnings_[text].push_back(std::move(warning));
  return *this;
}

Script& Script::FailConnect(std::string message, std::string sqlState) {
  callFailures_["CONNECT"] = {std::move(message), std::move(sqlState)};
  return *this;
}
Script& Script::FailStartTransaction(std::string message, std::string sqlState) {
  callFailures_["START TRANSACTION"] = {std::move(message), std::move(sqlState)};
  return *this;
}
Script& Script::FailCommit(std::string message, std::string sqlState) {
  callFailures_["COMMIT"] = {std::move(message), std::move(sqlState)};
  return *this;
}
Script& Script::FailRollback(std::string message, std::string sqlState) {
  callFailures_["ROLLBACK"] = {std::move(message), std::move(sqlState)};
  return *this;
}
Script& Script::FailDisconnect(std::string message, std::string sqlState) {
  callFailures_["DISCONNECT"] = {std::move(message), std::move(sqlState)};
  return *this;
}

Script& Script::Strict(bool strict) {
  strict_ = strict;
  return *this;
}

std::vector<std::string> Script::Statements() const {
  std::vector<std::string> statements;
  for (const auto& entry : log_) {
    if (entry.starts_with("OPEN ") || entry.starts_with("EXEC ")) statements.push_back(entry);
  }
  return statements;
}

std::optional<ScriptedFailure> Script::LogCall(std::string entry) {
  const std::size_t position = log_.size();
  log_.push_back(entry);
  if (auto it = failAt_.find(position); it != failAt_.end()) return it->second;
  if (auto it = callFailures_.find(entry); it != callFailures_.end()) return it->second;
  return std::nullopt;
}

std::optional<Script::Reply> Script::Take(const std::string& text) {
  auto it = answers_.find(text);
  if (it == answers_.end() || it->second.empty()) return std::nullopt;
  Reply answer = it->second.front();
  if (it->second.size() > 1) it->second.pop_front();
  return answer;
}

ScriptedConnection::~ScriptedConnection() {
  script_.connected_ = false;
  script_.Note("RELEASE");
}

void ScriptedConnection::Call(const std::string& entry) {
  if (auto failure = script_.LogCall(entry)) Raise(*failure);
}

void ScriptedConnection::Connect() {
  Call("CONNECT");
  script_.connected_ = true;
}

void ScriptedConnection::Disconnect() {
  // The link is gone whether or not the client reports a failure closing it.
  script_.connected_ = false;
  script_.inTransaction_ = false;
  Call("DISCONNECT");
}

sql::ResultSet ScriptedConnection::Query(const std::string& statement) {
  warnings_.clear();
  Call("OPEN " + statement);
  auto answer = script_.Take(statement);
  if (!answer) {
    if (statement == sql::kTransactionStateSql) {
      return Column("", {script_.inTransaction_ ? "1" : "0"});
    }
    if (script_.strict_) Raise({"unscripted statement: " + statement, "42000"});
    return {};
  }
  if (auto* failure = std::get_if<ScriptedFailure>(&*answer)) Raise(*failure);
  warnings_ = script_.warnings_[statement];
  return std::get<sql::ResultSet>(*answer);
}

void ScriptedConnection::Execute(const std::string& statement) {
  warnings_.clear();
  Call("EXEC " + statement);
  if (auto answer = script_.Take(statement)) {
    if (auto* failure = std::get_if<ScriptedFailure>(&*answer)) Raise(*failure);
  }
  warnings_ = script_.warnings_[statement];
}

std::vector<sql::Diagnostic> ScriptedConnection::TakeWarnings() {
  return std::exchange(warnings_, {});
}

void ScriptedConnection::StartTransaction() {
  Call("START TRANSACTION");
  script_.inTransaction_ = true;
}
void ScriptedConnection::Commit() {
  script_.inTransaction_ = false;
  Call("COMMIT");
}
void ScriptedConnection::Rollback() {
  script_.inTransaction_ = false;
  Call("ROLLBACK");
}

}  // namespace slotsync::testing
