#include "sql/sql_access.h"

#include <algorithm>
#include <charconv>
#include <exception>

#include "sql/sql_error.h"
#include "sql/statement_template.h"
#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::sql {

bool NamesEqual(std::string_view a, std::string_view b) {
  return text::EqualsIgnoringAsciiCase(a, b);
}

// ---- SqlConnection ----

SqlConnection::SqlConnection(std::string name, std::unique_ptr<Connection> client)
    : name_(std::move(name)), client_(std::move(client)) {}

SqlConnection::~SqlConnection() {
  // Statement objects are released before their connection; one that is
  // still attached here would be left pointing at a dead object.
  if (!queries_.empty()) std::terminate();
  // The client closes its link itself when it is destroyed.
}

Connection& SqlConnection::Connected() {
  if (!client_->IsConnected()) client_->Connect();
  return *client_;
}

void SqlConnection::StartTransaction() {
  if (!client_->IsConnected()) {
    throw SqlError(text::Tr("Cannot start a transaction: not connected"));
  }
  if (plan_ != nullptr) return;
  client_->StartTransaction();
  inTransaction_ = true;
}

std::vector<Diagnostic> SqlConnection::Commit() {
  if (plan_ != nullptr) return {};
  // Whether or not it takes, the transaction is over: a failed commit is
  // followed by a rollback, never by more work in it.
  inTransaction_ = false;
  client_->Commit();
  return client_->TakeWarnings();
}

void SqlConnection::Rollback() {
  if (plan_ != nullptr) return;
  inTransaction_ = false;
  client_->Rollback();
}

void SqlConnection::Disconnect() {
  inTransaction_ = false;
  for (SqlQuery* query : queries_) query->Close();
  client_->Disconnect();
}

namespace {

// Failures after which the server has certainly rolled the transaction
// back: the deadlock victim (native error 1205, SQLSTATE 40001) and a broken
// link (class 08), which ends the session and with it the transaction.
bool EndsTransaction(const SqlError& failure) {
  if (failure.ConnectionLost()) return true;
  for (const Diagnostic& d : failure.Diagnostics()) {
    if (d.nativeError == 1205 || d.sqlState == "40001") return true;
  }
  return false;
}

}  // namespace

void SqlConnection::RequireTransactionAlive(const std::string& text, const SqlError& failure) {
  if (!inTransaction_) return;
  // The failure's own records stay, so that the run can still tell a
  // deadlock victim or a lock wait from other failures.
  const auto lost = [&](const std::string& why) {
    inTransaction_ = false;
    throw failure.Prefixed(text::TrFormat(
        // TRANSLATORS: the first %s is the statement, the second why the transaction is over; the
        // server's message follows.
        "the server ended the transaction when '%s' failed (%s): ", text, why));
  };
  if (EndsTransaction(failure)) lost(text::Tr("a failure that always ends it"));
  const std::string asked(kTransactionStateSql);
  std::int32_t state = 0;
  try {
    const ResultSet result = client_->QueryByPosition(asked);
    Report(asked, StatementOutcome::kOk);
    if (!result.rows.empty() && !result.rows[0].empty()) {
      state = SqlField(asked, &result.rows[0][0]).AsInteger();
    }
  } catch (const std::exception& e) {
    Report(asked, StatementOutcome::kFailed);
    lost(text::TrFormat("its state could not be read: %s", e.what()));
  }
  if (state == 0) lost(text::Tr("no transaction is open any more"));
  if (state < 0) lost(text::Tr("the transaction can only be rolled back"));
}

void SqlConnection::Attach(SqlQuery* query) {
  queries_.push_back(query);
}

void SqlConnection::Detach(SqlQuery* query) {
  std::erase(queries_, query);
}

void SqlConnection::ReportPlanned(const PlannedStatement& statement) {
  if (!observer_) return;
  switch (statement.kind) {
    case PlannedStatement::Kind::kWrite:
      observer_(statement.text, StatementOutcome::kPlanned);
      break;
    case PlannedStatement::Kind::kIgnoredWrite:
      observer_(statement.text, StatementOutcome::kPlannedIgnored);
      break;
    case PlannedStatement::Kind::kGuard:
      observer_(statement.text, StatementOutcome::kPlannedCheck);
      break;
    case PlannedStatement::Kind::kBefore:
      observer_(statement.text, StatementOutcome::kPlannedBefore);
      break;
    case PlannedStatement::Kind::kAfter:
      observer_(statement.text, StatementOutcome::kPlannedAfter);
      break;
  }
}

void SqlConnection::Report(const std::string& text, StatementOutcome outcome) {
  if (observer_) observer_(text, outcome);
  if (outcome != StatementOutcome::kOk) return;
  std::vector<Diagnostic> warnings = client_->TakeWarnings();
  if (messageObserver_) {
    for (const Diagnostic& warning : warnings) messageObserver_(text, warning);
  }
}

// ---- SqlAccess ----

void SqlAccess::Add(SqlConnection& connection) {
  connections_.push_back(&connection);
}

void SqlAccess::Remove(const SqlConnection& connection) {
  std::erase(connections_, &connection);
}

SqlConnection& SqlAccess::Find(std::string_view name) const {
  for (SqlConnection* connection : connections_) {
    if (NamesEqual(connection->Name(), name)) return *connection;
  }
  throw SqlError(text::TrFormat("Unknown database '%s'", name));
}

// ---- SqlField ----

std::string SqlField::AsString() const {
  return IsNull() ? std::string() : **value_;
}

std::int32_t SqlField::AsInteger() const {
  if (IsNull()) return 0;
  const std::string& text = **value_;
  std::string_view digits = text;
  while (!digits.empty() && digits.front() == ' ') digits.remove_prefix(1);
  while (!digits.empty() && digits.back() == ' ') digits.remove_suffix(1);
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  // A decimal such as "12.00" reads as its whole part, as the client's own
  // integer conversion does; anything else that is not a number is an error.
  const std::size_t point = digits.find('.');
  std::string_view whole = digits.substr(0, point);
  const bool fractionIsDigits =
      point == std::string_view::npos ||
      std::all_of(digits.begin() + static_cast<std::ptrdiff_t>(point) + 1, digits.end(),
                  [](char c) { return c >= '0' && c <= '9'; });
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(whole.data(), whole.data() + whole.size(), value);
  if (whole.empty() || error != std::errc() || end != whole.data() + whole.size() ||
      !fractionIsDigits) {
    throw SqlError(
        text::TrFormat("'%s' is not a valid integer value for field '%s'", text, *name_));
  }
  return value;
}

// ---- SqlQuery ----

SqlQuery::SqlQuery(SqlAccess& access, std::string_view connectionName)
    : connection_(access.Find(connectionName)) {
  connection_.Attach(this);
}

SqlQuery::~SqlQuery() {
  connection_.Detach(this);
}

void SqlQuery::SetText(std::string text) {
  Close();
  text_ = std::move(text);
}

WritePlan* PlanOf(const SqlAccess& access) {
  return access.Find(kSizeConnectionName).Plan();
}

void SqlQuery::Open() {
  OpenResult(false);
}

void SqlQuery::OpenByPosition() {
  OpenResult(true);
}

void SqlQuery::OpenResult(bool byPosition) {
  Close();
  byPosition_ = byPosition;
  if (WritePlan* plan = connection_.Plan()) {
    if (const PlannedStatement* behind = plan->WriteBehind(text_)) {
      plan->Unknown(text_, behind->text);
      result_ = ResultSet{};
      unknown_ = true;
      return;
    }
  }
  // A statement that never left because the connection could not be made is
  // not reported as sent.
  Connection& client = connection_.Connected();
  try {
    result_ = byPosition ? client.QueryByPosition(text_) : client.Query(text_);
  } catch (...) {
    connection_.Report(text_, StatementOutcome::kFailed);
    throw;
  }
  row_ = 0;
  connection_.Report(text_, StatementOutcome::kOk);
}

void SqlQuery::Execute() {
  Close();
  if (WritePlan* plan = connection_.Plan()) {
    plan->Record(text_, PlannedStatement::Kind::kWrite);
    return;
  }
  Connection& client = connection_.Connected();
  try {
    client.Execute(text_);
  } catch (...) {
    connection_.Report(text_, StatementOutcome::kFailed);
    throw;
  }
  connection_.Report(text_, StatementOutcome::kOk);
}

bool SqlQuery::ExecuteIgnoringFailure(std::optional<SqlError>* failure) {
  Close();
  if (WritePlan* plan = connection_.Plan()) {
    plan->Record(text_, PlannedStatement::Kind::kIgnoredWrite);
    return true;
  }
  Connection& client = connection_.Connected();
  try {
    client.Execute(text_);
  } catch (const SqlError& e) {
    connection_.Report(text_, StatementOutcome::kFailedIgnored);
    connection_.RequireTransactionAlive(text_, e);
    if (failure != nullptr) failure->emplace(e);
    return false;
  } catch (const std::exception&) {
    connection_.Report(text_, StatementOutcome::kFailedIgnored);
    return false;
  }
  connection_.Report(text_, StatementOutcome::kOk);
  return true;
}

void SqlQuery::First() {
  RequireOpen();
  row_ = 0;
}

void SqlQuery::Close() {
  result_.reset();
  row_ = 0;
  unknown_ = false;
  byPosition_ = false;
}

void SqlQuery::RequireOpen() const {
  if (!result_) throw SqlError(text::Tr("Cannot perform this operation on a closed dataset"));
}

bool SqlQuery::Empty() const {
  RequireOpen();
  return result_->rows.empty();
}

std::size_t SqlQuery::RowCount() const {
  RequireOpen();
  return result_->rows.size();
}

bool SqlQuery::End() const {
  RequireOpen();
  return row_ >= result_->rows.size();
}

void SqlQuery::Next() {
  RequireOpen();
  if (row_ < result_->rows.size()) ++row_;
}

std::size_t SqlQuery::FieldCount() const {
  RequireOpen();
  return result_->columns.size();
}

const std::vector<Value>* SqlQuery::CurrentRow() const {
  return row_ < result_->rows.size() ? &result_->rows[row_] : nullptr;
}

SqlField SqlQuery::Field(std::size_t position) const {
  RequireOpen();
  if (position >= result_->columns.size()) {
    throw SqlError(
        text::TrFormat("Field index %d out of range", static_cast<std::int32_t>(position)));
  }
  const auto* row = CurrentRow();
  return SqlField(result_->columns[position], row != nullptr ? &(*row)[position] : nullptr);
}

std::optional<SqlField> SqlQuery::FindField(std::string_view name) const {
  RequireOpen();
  if (byPosition_) {
    // A fault of the code that asks, never of the database: not translated.
    throw SqlError(
        Format("Field '%s' asked for by name of a result opened by position",  // not a message
               name));
  }
  for (std::size_t i = 0; i < result_->columns.size(); ++i) {
    if (NamesEqual(result_->columns[i], name)) return Field(i);
  }
  return std::nullopt;
}

SqlField SqlQuery::FieldByName(std::string_view name) const {
  if (auto field = FindField(name)) return *field;
  throw SqlError(text::TrFormat("Field '%s' not found", name));
}

}  // namespace slotsync::sql
