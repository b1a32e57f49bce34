#pragma once

// The locks of a rebuild on a busy database: a bound on every lock wait, the
// application lock that lets one run at a time work on a database (across
// processes and machines), and who holds a lock the run could not get.

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sql/sql_access.h"

namespace slotsync::entry {

// SQL Server's "Lock request time out period exceeded".
inline constexpr long kLockTimeoutError = 1222;
// How long a run waits for another run's application lock when no lock
// timeout was asked for.
inline constexpr std::int32_t kDefaultDatabaseLockSeconds = 60;

// A statement failed because its lock wait ran out.
bool IsLockTimeout(const std::exception_ptr& failure);

// A lock could not be had in time; nothing was changed.
class LockedOut : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A session holding a lock, as the server describes it. Texts are GBK.
struct LockHolder {
  std::int32_t session = 0;
  std::string host, program, login;
  std::optional<std::int32_t> transactionSeconds;  // unset: no open transaction
};

// "session 53 (host POS-07, program ShopPOS.exe, login cashier, transaction
// open 95 s)", one per holder, separated by "; ".
std::string DescribeHolders(const std::vector<LockHolder>& holders);

// The reads that ask who holds locks on a table, and who holds the
// database's application lock.
std::string TableHoldersSql(const std::string& table);
std::string DatabaseLockHoldersSql();

// Bounds every later lock wait of the session.
void SetLockTimeout(sql::SqlAccess& access, std::int32_t seconds);

// The other sessions holding locks on the table or its rows and pages.
std::vector<LockHolder> TableLockHolders(sql::SqlAccess& access, const std::string& table);

// The name of a database's application lock, as runs and the plan's scripts
// take it: whoever holds it works on the database alone.
std::string DatabaseLockResource(const std::string& database);

// How long a run or a script waits for the database's application lock:
// the lock timeout, or kDefaultDatabaseLockSeconds when waits are unbounded.
std::int32_t DatabaseLockSeconds(std::int32_t lockTimeoutSeconds);

// The exclusive application lock "slotsync:<database>", owned by the session
// so that it outlives the transaction and is released however the session
// ends.
class DatabaseLock {
 public:
  DatabaseLock(sql::SqlAccess& access, const std::string& database);
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;

  // Waits at most `seconds`. When another session holds it, `waiting` is told
  // for whom before the wait begins. Throws LockedOut when the time runs out.
  void Take(std::int32_t seconds, const std::function<void(const std::string&)>& waiting);
  // Empty text, or why the release failed (the end of the session releases
  // it all the same).
  std::string Release();
  bool Held() const { return held_; }

 private:
  std::int32_t Request(std::int32_t milliseconds);
  std::string HolderText();

  sql::SqlAccess& access_;
  std::string resource_;  // as an N'' literal's content
  bool held_ = false;
};

}  // namespace slotsync::entry
