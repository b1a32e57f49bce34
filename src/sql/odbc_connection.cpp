#include "sql/odbc_connection.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <thread>
#include <utility>
#include <vector>

#include "platform/secret.h"
#include "sql/odbc_api.h"
#include "sql/odbc_environment.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::sql {
namespace {

using odbc::Check;

// How long past the login timeout the watchdog waits for a driver that
// ignores it before it abandons the connect.
constexpr auto kWatchdogGrace = std::chrono::seconds(5);

// The SQLSTATEs a driver answers with for an attribute it does not have:
// driver does not support this function, optional feature not implemented,
// invalid attribute identifier.
bool IsUnsupported(std::string_view sqlState) {
  return sqlState == "IM001" || sqlState == "HYC00" || sqlState == "HY092";
}

// One statement handle, freed on every way out of Query and Execute.
class Statement {
 public:
  Statement(SQLHDBC connection, std::string_view text) {
    const SQLRETURN result = SQLAllocHandle(SQL_HANDLE_STMT, connection, &handle_);
    if (!SQL_SUCCEEDED(result)) {
      throw SqlError(odbc::ReadDiagnostics(SQL_HANDLE_DBC, connection, "SQLAllocHandle"));
    }
    // Statements are sent exactly as written: braces in them (in a string
    // literal, say) must not be taken for ODBC escape sequences. Every
    // escape sequence is in braces, so a text without one needs no switch,
    // and the call it would cost is saved on every start of a host.
    if (text.find('{') == std::string_view::npos) return;
    const SQLRETURN noscan =
        SQLSetStmtAttrW(handle_, SQL_ATTR_NOSCAN, odbc::IntegerAttribute(SQL_NOSCAN_ON), 0);
    if (!odbc::Succeeded(noscan)) {
      auto diagnostics = odbc::ReadDiagnostics(SQL_HANDLE_STMT, handle_, "SQLSetStmtAttrW");
      // SQLite's driver has no such switch and says so (IM001); it rewrites
      // escapes outside string literals only, so it is used as it is. Any
      // other failure is a real one.
      if (!IsUnsupported(diagnostics.front().sqlState)) {
        SQLFreeHandle(SQL_HANDLE_STMT, handle_);
        throw SqlError(std::move(diagnostics));
      }
    }
  }
  ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, handle_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  SQLHSTMT Handle() const { return handle_; }

  SQLRETURN ExecDirect(const std::string& text) {
    std::vector<SQLWCHAR> wide = odbc::ToSqlText(text);
    return SQLExecDirectW(handle_, wide.data(), static_cast<SQLINTEGER>(wide.size() - 1));
  }

  void Check(SQLRETURN result, std::string_view function) const {
    odbc::Check(result, SQL_HANDLE_STMT, handle_, function);
  }

  // For the calls that run the statement or move through its results: an
  // error the driver reports "with information" fails here too, and
  // warnings are kept for the caller.
  void CheckRun(SQLRETURN result, std::string_view function) {
    odbc::CheckStatementCall(result, handle_, function, warnings_);
  }

  std::vector<Diagnostic> TakeWarnings() { return std::exchange(warnings_, {}); }

 private:
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
  std::vector<Diagnostic> warnings_;
};

// Moves the statement to its next result: SQL_NO_DATA when there is none.
SQLRETURN NextResult(Statement& statement, const OdbcConnection::FurtherResults& further,
                     int resultsSoFar) {
  if (!further) return SQLMoreResults(statement.Handle());
  const std::optional<std::string> text = further(resultsSoFar);
  if (!text) return SQL_NO_DATA;
  SQLFreeStmt(statement.Handle(), SQL_CLOSE);
  const SQLRETURN result = statement.ExecDirect(*text);
  // A statement that touched no row is a result all the same.
  return result == SQL_NO_DATA ? SQL_SUCCESS : result;
}

// Runs the statement through its remaining results. Each may fail on its
// own - in a SQL Server batch the first statement can succeed and a later
// one fail - and such a failure is the caller's, not something to skip.
void DrainResults(Statement& statement, const OdbcConnection::FurtherResults& further,
                  int resultsSoFar) {
  for (;;) {
    const SQLRETURN result = NextResult(statement, further, resultsSoFar);
    if (result == SQL_NO_DATA) return;
    statement.CheckRun(result, "SQLMoreResults");
    ++resultsSoFar;
  }
}

std::string ColumnName(Statement& statement, SQLUSMALLINT column) {
  std::vector<SQLWCHAR> name(128);
  for (;;) {
    SQLSMALLINT length = 0;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    statement.Check(SQLDescribeColW(statement.Handle(), column, name.data(),
                                    static_cast<SQLSMALLINT>(name.size()), &length, &type, &size,
                                    &digits, &nullable),
                    "SQLDescribeColW");
    const auto needed = static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0));
    if (needed < name.size() || name.size() >= 32000) {
      return odbc::FromSqlBuffer(name.data(), needed, name.size());
    }
    name.resize(needed + 1);
  }
}

// One value as text, read in pieces so that a long one arrives whole;
// nullopt for NULL.
Value ColumnValue(Statement& statement, SQLUSMALLINT column) {
  // Not cleared: SQLGetData writes what is read of it.
  std::array<SQLWCHAR, 4096> buffer;
  constexpr auto kBufferBytes = static_cast<SQLLEN>(sizeof(buffer));
  // Each piece but the last fills the buffer up to its terminating NUL.
  constexpr auto kPieceBytes = kBufferBytes - static_cast<SQLLEN>(sizeof(SQLWCHAR));
  std::u16string text;
  for (;;) {
    SQLLEN indicator = 0;
    const SQLRETURN result = SQLGetData(statement.Handle(), column, SQL_C_WCHAR, buffer.data(),
                                        kBufferBytes, &indicator);
    if (result == SQL_NO_DATA) break;  // the previous piece was the last
    statement.Check(result, "SQLGetData");
    if (indicator == SQL_NULL_DATA) return std::nullopt;
    const bool truncated =
        result == SQL_SUCCESS_WITH_INFO && (indicator == SQL_NO_TOTAL || indicator > kPieceBytes);
    const SQLLEN bytes = truncated ? kPieceBytes : std::clamp<SQLLEN>(indicator, 0, kPieceBytes);
    const auto count = static_cast<std::size_t>(bytes) / sizeof(SQLWCHAR);
    // A value read whole at once (most are) converts without the detour.
    if (!truncated && text.empty()) return odbc::FromSqlText(buffer.data(), count);
    for (std::size_t i = 0; i < count; ++i) text.push_back(static_cast<char16_t>(buffer[i]));
    if (!truncated) break;
  }
  return text::Utf16ToGbk(text);
}

ResultSet ReadResult(Statement& statement, SQLSMALLINT columnCount, bool withNames) {
  ResultSet result;
  const auto columns = static_cast<SQLUSMALLINT>(columnCount);
  if (!withNames) {
    // A driver round trip per column, on every start of a host, for names
    // the caller will not look at.
    result.columns.resize(columns);
  } else {
    result.columns.reserve(columns);
    for (SQLUSMALLINT column = 1; column <= columns; ++column) {
      result.columns.push_back(ColumnName(statement, column));
    }
  }
  for (;;) {
    const SQLRETURN fetched = SQLFetch(statement.Handle());
    if (fetched == SQL_NO_DATA) break;
    statement.CheckRun(fetched, "SQLFetch");
    std::vector<Value> row;
    row.reserve(columns);
    for (SQLUSMALLINT column = 1; column <= columns; ++column) {
      row.push_back(ColumnValue(statement, column));
    }
    result.rows.push_back(std::move(row));
  }
  return result;
}

SQLRETURN SetAutocommit(SQLHDBC connection, bool on) {
  return SQLSetConnectAttrW(connection, SQL_ATTR_AUTOCOMMIT,
                            odbc::IntegerAttribute(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF),
                            SQL_IS_UINTEGER);
}

}  // namespace

// One SQLDriverConnectW on a thread of its own. A driver may ignore both
// timeouts (an endpoint that accepts the TCP connection and never answers
// holds it in a read without end), so the caller waits for it at most the
// deadline, or until Cancel, and then abandons it: the thread finishes the
// call whenever the driver returns, then frees the handle and wipes the
// connection string itself. Whoever ends last frees the attempt.
struct ConnectAttempt {
  std::shared_ptr<OdbcEnvironment> environment;  // outlives the handle
  SQLHDBC connection = SQL_NULL_HDBC;
  platform::SecretU16String text;  // holds the password

  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;
  bool abandoned = false;
  bool cancelled = false;
  SQLRETURN result = SQL_ERROR;
  std::vector<Diagnostic> diagnostics;

  static void Run(const std::shared_ptr<ConnectAttempt>& attempt) {
    // No window and SQL_DRIVER_NOPROMPT: a driver missing something fails
    // instead of showing a login dialog nobody may be there to answer. The
    // string goes as it was built: UTF-16 is the driver's text type too
    // (odbc_api.h), and a copy would be one more place the password lies.
    const SQLRETURN result = SQLDriverConnectW(
        attempt->connection, nullptr, reinterpret_cast<SQLWCHAR*>(attempt->text.Edit().data()),
        SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    std::vector<Diagnostic> diagnostics;
    if (!SQL_SUCCEEDED(result)) {
      // For a failure without a message of the driver's: the connection
      // string with its password masked, made only when it is needed.
      diagnostics = odbc::ReadDiagnostics(SQL_HANDLE_DBC, attempt->connection, "SQLDriverConnectW",
                                          MaskPassword(attempt->text.View()));
    }
    attempt->text.Wipe();
    const std::lock_guard lock(attempt->mutex);
    attempt->result = result;
    attempt->diagnostics = std::move(diagnostics);
    attempt->finished = true;
    if (attempt->abandoned) {
      // Nobody waits for this connection any more.
      if (SQL_SUCCEEDED(result)) SQLDisconnect(attempt->connection);
      SQLFreeHandle(SQL_HANDLE_DBC, attempt->connection);
    }
    attempt->changed.notify_all();
  }
};

// Makes a statement handle reachable for Cancel while it runs.
class RunningStatement {
 public:
  RunningStatement(OdbcConnection& owner, SQLHSTMT handle) : owner_(owner) {
    const std::lock_guard lock(owner_.runningMutex_);
    owner_.running_ = handle;
  }
  ~RunningStatement() {
    const std::lock_guard lock(owner_.runningMutex_);
    owner_.running_ = nullptr;
  }
  RunningStatement(const RunningStatement&) = delete;
  RunningStatement& operator=(const RunningStatement&) = delete;

 private:
  OdbcConnection& owner_;
};

OdbcConnection::OdbcConnection(ConnectionSettings settings) : settings_(std::move(settings)) {}

OdbcConnection::~OdbcConnection() {
  try {
    Disconnect();
  } catch (...) {
    // Nothing to report to at this point; the handles are freed either way.
  }
}

void OdbcConnection::SetFurtherResultsForTesting(FurtherResults furtherResults) {
  furtherResults_ = std::move(furtherResults);
}

void* OdbcConnection::RequireConnection() const {
  if (connection_ == nullptr) throw SqlError(text::Tr("Not connected to the database"));
  return connection_;
}

// The driver a data source names, else the one named or chosen.
std::string OdbcConnection::DriverToUse(OdbcEnvironment& environment) const {
  if (!settings_.dataSource.empty()) {
    std::string driver = SystemDataSourceDriver(settings_.dataSource);
    if (driver.empty()) {
      throw SqlError(text::TrFormat(
          // TRANSLATORS: %s is the name of an ODBC data source (DSN).
          "No ODBC data source named \"%s\" is set up for this user or this machine (odbc.ini; "
          "on Windows the ODBC Data Source Administrator), or it names no driver; nothing was "
          "sent",
          settings_.dataSource));
    }
    return driver;
  }
  return settings_.driver.empty() ? environment.ChooseDriver(DriverFromEnvironment())
                                  : settings_.driver;
}

void OdbcConnection::Connect() {
  if (IsConnected()) return;
  std::shared_ptr<OdbcEnvironment> environment = OdbcEnvironment::Shared();
  const std::string driver = DriverToUse(*environment);
  // The driver is judged by the library the driver manager will load, not by
  // the name it was registered under, which anyone may choose.
  const RegisteredDriver registered = environment->Driver(driver);
  const DriverKind kind = registered.kind;
  const std::string warning = CheckEncryptionCanBeHad(settings_, kind, driver, registered.library);
  if (!warning.empty() && settings_.warn) settings_.warn(warning);
  platform::SecretU16String connectionString = BuildWideConnectionString(settings_, driver, kind);
  driverName_ = driver;

  auto attempt = std::make_shared<ConnectAttempt>();
  attempt->environment = environment;
  Check(SQLAllocHandle(SQL_HANDLE_DBC, environment->Handle(), &attempt->connection), SQL_HANDLE_ENV,
        environment->Handle(), "SQLAllocHandle");
  const SQLHDBC connection = attempt->connection;
  // A driver without these timeouts may refuse the attributes; the watchdog
  // below stands in for them.
  const auto timeout = static_cast<SQLULEN>(std::max(settings_.loginTimeoutSeconds, 1));
  SQLSetConnectAttrW(connection, SQL_ATTR_LOGIN_TIMEOUT, odbc::IntegerAttribute(timeout),
                     SQL_IS_UINTEGER);
  SQLSetConnectAttrW(connection, SQL_ATTR_CONNECTION_TIMEOUT, odbc::IntegerAttribute(timeout),
                     SQL_IS_UINTEGER);
  attempt->text = std::move(connectionString);

  const bool connected = AwaitConnect(attempt, std::chrono::seconds(timeout) + kWatchdogGrace);
  if (!connected) {
    std::vector<Diagnostic> diagnostics = std::move(attempt->diagnostics);
    // A driver may echo the connection string, the password in it, in its
    // diagnostic; nothing that leaves here holds it.
    ScrubSecrets(diagnostics, settings_.password.View());
    if (std::string hint = EncryptionHint(settings_, SqlError(diagnostics).what()); !hint.empty()) {
      diagnostics.push_back(Diagnostic{{}, 0, std::move(hint)});
    }
    SQLFreeHandle(SQL_HANDLE_DBC, connection);
    throw SqlError(std::move(diagnostics));
  }
  // Nothing connects again with it: a run makes one connection.
  settings_.password.Wipe();
  // The timeout was for the connect: the run's statements, a copy of
  // millions of rows among them, take as long as they take.
  SQLSetConnectAttrW(connection, SQL_ATTR_CONNECTION_TIMEOUT, odbc::IntegerAttribute(0),
                     SQL_IS_UINTEGER);
  connection_ = connection;
  environment_ = std::move(environment);
}

bool OdbcConnection::AwaitConnect(const std::shared_ptr<ConnectAttempt>& attempt,
                                  std::chrono::seconds deadline) {
  {
    const std::lock_guard lock(runningMutex_);
    connecting_ = attempt;
  }
  std::thread worker(&ConnectAttempt::Run, attempt);
  std::unique_lock lock(attempt->mutex);
  attempt->changed.wait_for(lock, deadline,
                            [&attempt] { return attempt->finished || attempt->cancelled; });
  const bool finished = attempt->finished;
  if (!finished) attempt->abandoned = true;
  lock.unlock();
  {
    const std::lock_guard running(runningMutex_);
    connecting_.reset();
  }
  if (finished) {
    worker.join();
    return SQL_SUCCEEDED(attempt->result);
  }
  // The driver still holds the thread; it ends the attempt itself.
  worker.detach();
  if (attempt->cancelled) {
    throw SqlError({Diagnostic{"HY008", 0, text::Tr("the run was interrupted while connecting")}});
  }
  throw SqlError({Diagnostic{
      "HYT00", 0,
      text::TrFormat("the server %s did not complete the login within %d s (the connection was "
                     "accepted but nothing answered); check the server name and port, and that "
                     "SQL Server is what listens there",
                     settings_.server, deadline.count())}});
}

void OdbcConnection::Disconnect() {
  if (connection_ == nullptr) return;
  const auto connection = static_cast<SQLHDBC>(std::exchange(connection_, nullptr));
  std::vector<Diagnostic> failure;
  if (!SQL_SUCCEEDED(SQLDisconnect(connection))) {
    failure = odbc::ReadDiagnostics(SQL_HANDLE_DBC, connection, "SQLDisconnect");
    // A driver keeps the link while a transaction is open (25000). Nobody
    // asked for that work to stay, so it is rolled back, and the link closed
    // so that the handle can go.
    SQLEndTran(SQL_HANDLE_DBC, connection, SQL_ROLLBACK);
    SQLDisconnect(connection);
  }
  SQLFreeHandle(SQL_HANDLE_DBC, connection);
  if (!failure.empty()) throw SqlError(std::move(failure));
}

ResultSet OdbcConnection::Query(const std::string& statementText) {
  return Read(statementText, true);
}

ResultSet OdbcConnection::QueryByPosition(const std::string& statementText) {
  return Read(statementText, false);
}

ResultSet OdbcConnection::Read(const std::string& statementText, bool withNames) {
  warnings_.clear();
  Statement statement(static_cast<SQLHDBC>(RequireConnection()), statementText);
  const RunningStatement running(*this, statement.Handle());
  statement.CheckRun(statement.ExecDirect(statementText), "SQLExecDirectW");
  int resultsSoFar = 1;
  // The rows are in the first result that has columns: a batch can start
  // with statements that only count rows.
  for (;;) {
    SQLSMALLINT columns = 0;
    statement.Check(SQLNumResultCols(statement.Handle(), &columns), "SQLNumResultCols");
    if (columns > 0) {
      ResultSet result = ReadResult(statement, columns, withNames);
      DrainResults(statement, furtherResults_, resultsSoFar);
      warnings_ = statement.TakeWarnings();
      return result;
    }
    const SQLRETURN next = NextResult(statement, furtherResults_, resultsSoFar);
    // No result with columns at all: an empty result, no rows to walk.
    if (next == SQL_NO_DATA) {
      warnings_ = statement.TakeWarnings();
      return ResultSet{};
    }
    statement.CheckRun(next, "SQLMoreResults");
    ++resultsSoFar;
  }
}

void OdbcConnection::Execute(const std::string& statementText) {
  warnings_.clear();
  Statement statement(static_cast<SQLHDBC>(RequireConnection()), statementText);
  const RunningStatement running(*this, statement.Handle());
  // SQL_NO_DATA here is a searched UPDATE or DELETE that matched no row.
  statement.CheckRun(statement.ExecDirect(statementText), "SQLExecDirectW");
  DrainResults(statement, furtherResults_, 1);
  warnings_ = statement.TakeWarnings();
}

std::vector<Diagnostic> OdbcConnection::TakeWarnings() {
  return std::exchange(warnings_, {});
}

// SQLCancel on a statement another thread is executing is what the call is
// for (ODBC: "Canceling Processing on Another Thread"); the executing call
// then returns SQL_ERROR with SQLSTATE HY008.
void OdbcConnection::Cancel() {
  const std::lock_guard lock(runningMutex_);
  if (running_ != nullptr) SQLCancel(static_cast<SQLHSTMT>(running_));
  // A connect under way is abandoned: no ODBC call stops one.
  if (connecting_) {
    const std::lock_guard attempt(connecting_->mutex);
    connecting_->cancelled = true;
    connecting_->changed.notify_all();
  }
}

void OdbcConnection::StartTransaction() {
  const auto connection = static_cast<SQLHDBC>(RequireConnection());
  // SQLite's driver knows one isolation level, serializable; it answers this
  // with SQL_SUCCESS_WITH_INFO (01S02, "option value changed") and keeps
  // it. That is stricter than asked and passes as success here, so no
  // driver needs the failure of this call excused.
  Check(SQLSetConnectAttrW(connection, SQL_ATTR_TXN_ISOLATION,
                           odbc::IntegerAttribute(SQL_TXN_READ_COMMITTED), SQL_IS_UINTEGER),
        SQL_HANDLE_DBC, connection, "SQLSetConnectAttrW");
  Check(SetAutocommit(connection, false), SQL_HANDLE_DBC, connection, "SQLSetConnectAttrW");
}

void OdbcConnection::Commit() {
  EndTransaction(true);
}

void OdbcConnection::Rollback() {
  EndTransaction(false);
}

void OdbcConnection::EndTransaction(bool commit) {
  warnings_.clear();
  const auto connection = static_cast<SQLHDBC>(RequireConnection());
  const SQLRETURN ended =
      SQLEndTran(SQL_HANDLE_DBC, connection, commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (SQL_SUCCEEDED(ended)) {
    // The transaction has ended as asked. A failure to switch autocommit back
    // on does not undo that, so it is a warning, not a failure: reporting a
    // commit that took as failed would tell the caller nothing was changed.
    if (!SQL_SUCCEEDED(SetAutocommit(connection, true))) {
      warnings_ = odbc::ReadDiagnostics(SQL_HANDLE_DBC, connection, "SQLSetConnectAttrW");
      for (Diagnostic& d : warnings_) {
        d.message =
            commit ? text::TrFormat("committed, but autocommit could not be switched back on: %s",
                                    d.message)
                   : text::TrFormat("rolled back, but autocommit could not be switched back on: %s",
                                    d.message);
      }
    }
    return;
  }
  // Read the diagnostics before the calls below replace them.
  std::vector<Diagnostic> failure = odbc::ReadDiagnostics(SQL_HANDLE_DBC, connection, "SQLEndTran");
  // Turning autocommit on commits whatever transaction is still open, so
  // what is left of this one is rolled back first. If even that fails,
  // autocommit stays off: better a transaction left to Disconnect (which
  // rolls it back) than work committed that the caller did not commit.
  if (SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, connection, SQL_ROLLBACK))) {
    SetAutocommit(connection, true);
  }
  throw SqlError(std::move(failure));
}

std::unique_ptr<Connection> MakeOdbcConnection(ConnectionSettings settings) {
  return std::make_unique<OdbcConnection>(std::move(settings));
}

}  // namespace slotsync::sql
