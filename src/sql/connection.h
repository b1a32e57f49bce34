#pragma once

// What a database client must provide: the driver side of the SQL access
// layer. The ODBC client implements it for real servers; the tests' scripted
// connection implements it in memory. Texts are GBK bytes throughout.

#include <optional>
#include <string>
#include <vector>

#include "sql/sql_error.h"

namespace slotsync::sql {

using Value = std::optional<std::string>;  // nullopt is SQL NULL

// A whole result, read at once, so that it stays readable while other
// statements run on the same connection.
struct ResultSet {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
};

class Connection {
 public:
  virtual ~Connection() = default;

  virtual void Connect() = 0;  // never prompts for a login
  virtual bool IsConnected() const = 0;
  virtual void Disconnect() = 0;

  virtual ResultSet Query(const std::string& statement) = 0;
  // The same for a caller that reaches the columns by position only. A
  // client may leave the names empty then (the count stays), which spares
  // it asking the driver for each; one that does not bother answers as
  // Query does.
  virtual ResultSet QueryByPosition(const std::string& statement) { return Query(statement); }
  virtual void Execute(const std::string& statement) = 0;

  virtual void StartTransaction() = 0;  // isolation read committed
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // What the last call reported besides its outcome: warnings (SQLSTATE class
  // 01, such as sp_rename's caution) of a statement that succeeded, or a
  // commit that took but left the connection in manual-commit mode. Taking
  // them empties the list.
  virtual std::vector<Diagnostic> TakeWarnings() { return {}; }

  // Asks the statement running now, on another thread, to stop; it then
  // fails (SQLSTATE HY008). Callable from any thread at any time; does
  // nothing when no statement runs or the client cannot cancel.
  virtual void Cancel() {}
};

}  // namespace slotsync::sql
