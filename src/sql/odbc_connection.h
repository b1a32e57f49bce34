#pragma once

// The database client for real servers: Connection over ODBC, through the
// wide (UTF-16) calls, so that GBK texts reach SQL Server as the characters
// they stand for whatever the machine's code page.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sql/connection.h"
#include "sql/connection_string.h"

namespace slotsync::sql {

class OdbcEnvironment;

class OdbcConnection : public Connection {
 public:
  explicit OdbcConnection(ConnectionSettings settings);
  ~OdbcConnection() override;  // disconnects quietly
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  void Connect() override;
  bool IsConnected() const override { return connection_ != nullptr; }
  // Not connected afterwards, even when the driver reports an error (which
  // is still thrown).
  void Disconnect() override;

  ResultSet Query(const std::string& statement) override;
  ResultSet QueryByPosition(const std::string& statement) override;
  void Execute(const std::string& statement) override;

  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  void Cancel() override;

  std::vector<Diagnostic> TakeWarnings() override;

  // The driver the last Connect used, once chosen; empty before.
  const std::string& DriverName() const { return driverName_; }

  // SQLite's driver runs one statement per call and so never has a second
  // result, which SQL Server batches do. To let tests reach that handling
  // through a real driver, this stands in for SQLMoreResults: asked with the
  // number of results the statement has produced so far, it returns the text
  // to execute on the same statement handle as the next result, or nullopt
  // when there are no more.
  using FurtherResults = std::function<std::optional<std::string>(int resultsSoFar)>;
  void SetFurtherResultsForTesting(FurtherResults furtherResults);

 private:
  std::string DriverToUse(OdbcEnvironment& environment) const;
  void* RequireConnection() const;
  ResultSet Read(const std::string& statementText, bool withNames);
  // Waits for the connect on its own thread; true when it succeeded, false
  // when it failed (its diagnostics in the attempt). Throws SqlError when the
  // deadline passed or Cancel came first, and leaves the attempt to end by
  // itself.
  bool AwaitConnect(const std::shared_ptr<struct ConnectAttempt>& attempt,
                    std::chrono::seconds deadline);
  void EndTransaction(bool commit);

  ConnectionSettings settings_;
  std::shared_ptr<OdbcEnvironment> environment_;
  void* connection_ = nullptr;  // the SQLHDBC while connected
  std::string driverName_;
  FurtherResults furtherResults_;
  std::vector<Diagnostic> warnings_;
  // The statement handle a Query or Execute is running, for Cancel from
  // another thread; the mutex keeps it from being freed under SQLCancel.
  std::mutex runningMutex_;
  void* running_ = nullptr;
  // The connect under way, for Cancel to abandon.
  std::shared_ptr<struct ConnectAttempt> connecting_;
  friend class RunningStatement;
};

std::unique_ptr<Connection> MakeOdbcConnection(ConnectionSettings settings);

}  // namespace slotsync::sql
