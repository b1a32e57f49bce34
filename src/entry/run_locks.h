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
#include "text/messages.h"

namespace slotsync::entry {

// SQL Server's "Lock request time out period exceeded".
inline constexpr long kLockTimeoutError = 1222;
// The deadlock victim: native error 1205, SQLSTATE 40001. The server has
// rolled the transaction back; like a lock wait that ran out, it passes.
inline constexpr long kDeadlockError = 1205;
// The bound on lock waits when the library's caller asks for none (a
// zeroed SlotsyncOptions, or RefreshStruct).
inline constexpr std::int32_t kDefaultLockTimeoutSeconds = 60;
// How long a run waits for another run's application lock when no lock
// timeout was asked for.
inline constexpr std::int32_t kDefaultDatabaseLockSeconds = 60;

// A statement failed because its lock wait ran out.
bool IsLockTimeout(const std::exception_ptr& failure);
// A statement failed because the server chose the session as a deadlock victim.
bool IsDeadlock(const std::exception_ptr& failure);
// What a run that was chosen as a deadlock victim says after its rollback,
// translated where it is said.
inline constexpr const char* kDeadlockVictimText =
    N_("the run was chosen as a deadlock victim, so that another session could go on");

// A lock could not be had in time, or the run gave way in a deadlock;
// nothing was changed.
class LockedOut : public std::runtime_error {
 public:
  explicit LockedOut(const std::string& what, bool deadlock = false)
      : std::runtime_error(what), deadlock_(deadlock) {}
  bool Deadlock() const { return deadlock_; }

 private:
  bool deadlock_;
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
// Makes the session the one the server picks when it breaks a deadlock, so
// that the terminals' own work goes on and the run, which can be tried
// again, gives way.
void LowerDeadlockPriority(sql::SqlAccess& access);

// The application lock's resource. sp_getapplock compares resources byte
// for byte whatever the collation, and an application lock belongs to the
// database it is taken in already; so the resource is one constant text, and
// every spelling of a database's name (-d shop, -d SHOP) takes the same lock.
// Whatever takes the run's lock, takes it under this name.
std::string DatabaseLockResource();

// The other sessions holding locks on the table or its rows and pages.
std::vector<LockHolder> TableLockHolders(sql::SqlAccess& access, const std::string& table);

// How long a run or a script waits for the database's application lock:
// the lock timeout, or kDefaultDatabaseLockSeconds when waits are unbounded.
std::int32_t DatabaseLockSeconds(std::int32_t lockTimeoutSeconds);

// The exclusive application lock DatabaseLockResource(), owned by the session
// so that it outlives the transaction and is released however the session
// ends.
class DatabaseLock {
 public:
  explicit DatabaseLock(sql::SqlAccess& access);
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
  std::string resource_;  // as an N'' literal's content, no quote in it
  bool held_ = false;
};

}  // namespace slotsync::entry
