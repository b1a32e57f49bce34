#pragma once

// The SQL access layer every other part of the library goes through.
//
// SqlAccess keeps the named connections of one restructure run; a SqlQuery
// finds its connection by that name (compared without regard to case), the
// way the host application's own database layer binds statements. The first
// statement that opens or executes connects; the connection then stays open
// until Disconnect or until it is released.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sql/connection.h"
#include "sql/sql_error.h"
#include "sql/write_plan.h"

namespace slotsync::sql {

class SqlQuery;

// The name under which a restructure run registers its one connection; every
// statement object of the run binds to it.
inline constexpr std::string_view kSizeConnectionName = "SizeTessera";

// How one statement ended, for observers such as a --trace printout; the
// planned ones were recorded by a plan (write_plan.h) and never sent.
enum class StatementOutcome {
  kOk,
  kFailedIgnored,
  kFailed,
  kPlanned,         // a write the run would send
  kPlannedIgnored,  // a write whose failure the run would pass over
  kPlannedCheck,    // a check the run makes with its reads, written out for a script
  kPlannedBefore,   // a write the run sends before its transaction
  kPlannedAfter,    // a write the run sends after its commit
};

// Called once per statement text after it has been sent (or failed).
using StatementObserver = std::function<void(const std::string& text, StatementOutcome)>;
// Called for each warning the server sent with a statement that succeeded
// (sp_rename's caution, a PRINT), after the statement was reported.
using MessageObserver = std::function<void(const std::string& text, const Diagnostic& message)>;

// Asked after a statement whose failure a rebuild ignores: 1 while the
// transaction is still open and can commit, 0 when the server has ended it,
// -1 when it can only be rolled back. A SELECT that reads no table starts
// no implicit transaction, so asking does not open a new one.
inline constexpr std::string_view kTransactionStateSql = "Select XACT_STATE()";

class SqlConnection {
 public:
  SqlConnection(std::string name, std::unique_ptr<Connection> client);
  ~SqlConnection();
  SqlConnection(const SqlConnection&) = delete;
  SqlConnection& operator=(const SqlConnection&) = delete;

  const std::string& Name() const { return name_; }
  bool IsConnected() const { return client_->IsConnected(); }

  void StartTransaction();  // the connection must already be connected
  // Returns the warnings of a commit that took all the same (autocommit not
  // restored, say); a commit that failed throws.
  std::vector<Diagnostic> Commit();
  void Rollback();
  void Disconnect();  // also closes every result still open on it
  bool InTransaction() const { return inTransaction_; }

  void SetStatementObserver(StatementObserver observer) { observer_ = std::move(observer); }
  void SetMessageObserver(MessageObserver observer) { messageObserver_ = std::move(observer); }

  // While a plan is set, writes are recorded in it instead of being sent,
  // transactions are neither started nor ended, and reads that depend on a
  // planned write are noted in it and answered with an empty result. Null
  // ends planning.
  void SetPlan(WritePlan* plan) { plan_ = plan; }
  WritePlan* Plan() const { return plan_; }
  // Tells the statement observer about planned statements, as if sent.
  void ReportPlanned(const PlannedStatement& statement);

 private:
  friend class SqlQuery;
  Connection& Connected();
  void Attach(SqlQuery* query);
  void Detach(SqlQuery* query);
  void Report(const std::string& text, StatementOutcome outcome);
  // After an ignored failure inside the transaction: throws unless the
  // server still holds the transaction open and committable.
  void RequireTransactionAlive(const std::string& text, const SqlError& failure);

  std::string name_;
  std::unique_ptr<Connection> client_;
  std::vector<SqlQuery*> queries_;
  StatementObserver observer_;
  MessageObserver messageObserver_;
  bool inTransaction_ = false;
  WritePlan* plan_ = nullptr;
};

// The named connections statement objects can bind to.
class SqlAccess {
 public:
  void Add(SqlConnection& connection);
  void Remove(const SqlConnection& connection);
  // Throws SqlError "Unknown database '%s'" when none has that name.
  SqlConnection& Find(std::string_view name) const;

 private:
  std::vector<SqlConnection*> connections_;
};

// One column of the current row.
class SqlField {
 public:
  SqlField(const std::string& name, const Value* value) : name_(&name), value_(value) {}

  const std::string& Name() const { return *name_; }
  bool IsNull() const { return value_ == nullptr || !value_->has_value(); }
  std::string AsString() const;    // NULL gives empty text
  std::int32_t AsInteger() const;  // NULL gives 0; throws SqlError on non-numbers

 private:
  const std::string* name_;
  const Value* value_;  // nullptr when there is no current row
};

class SqlQuery {
 public:
  SqlQuery(SqlAccess& access, std::string_view connectionName);
  ~SqlQuery();
  SqlQuery(const SqlQuery&) = delete;
  SqlQuery& operator=(const SqlQuery&) = delete;

  void SetText(std::string text);  // closes any open result
  const std::string& Text() const { return text_; }

  void Open();  // a statement that yields rows; stands on the first row
  // The same for a caller that reads the fields by position only: the
  // client need not ask for the column names (Field(i).Name() may be
  // empty), and FieldByName and FindField refuse.
  void OpenByPosition();
  void Execute();  // a statement without a result
  // Executes and swallows a failure (reported to the observer as ignored);
  // returns whether the statement succeeded. Inside a transaction a failure
  // is swallowed only when the transaction survived it: a deadlock victim,
  // a lost link, XACT_ABORT or a trigger that rolls back leave nothing to go
  // on with, and the next statement would run in a new transaction of its
  // own. Those throw SqlError naming the statement and the cause. A failure
  // passed over is kept in `failure` when one is given.
  bool ExecuteIgnoringFailure(std::optional<SqlError>* failure = nullptr);
  void Close();
  bool IsOpen() const { return result_.has_value(); }
  // True when the open result is a planned run's stand-in for a read whose
  // answer an earlier planned write decides: empty, and not to be judged.
  bool AnswerUnknown() const { return unknown_; }
  void First();  // back to the first row of the open result

  bool Empty() const;
  std::size_t RowCount() const;
  bool End() const;
  void Next();

  std::size_t FieldCount() const;
  SqlField Field(std::size_t position) const;         // from 0
  SqlField FieldByName(std::string_view name) const;  // "Field '%s' not found"
  std::optional<SqlField> FindField(std::string_view name) const;

 private:
  const std::vector<Value>* CurrentRow() const;
  void RequireOpen() const;
  void OpenResult(bool byPosition);

  SqlConnection& connection_;
  std::string text_;
  std::optional<ResultSet> result_;
  std::size_t row_ = 0;
  bool unknown_ = false;
  bool byPosition_ = false;
};

// The plan of the run's connection, or null when the run sends its writes.
WritePlan* PlanOf(const SqlAccess& access);

// Compares two texts, folding ASCII letters only (GBK bytes stay as they
// are; see EqualsIgnoringAsciiCase in text/ for why that is safe).
bool NamesEqual(std::string_view a, std::string_view b);

}  // namespace slotsync::sql
