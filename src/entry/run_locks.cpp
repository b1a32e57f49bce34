#include "entry/run_locks.h"

#include <string_view>

#include "sql/quoting.h"
#include "sql/sql_error.h"
#include "sql/statement_template.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

// What sp_getapplock returns when its request was chosen as a deadlock victim.
constexpr std::int32_t kApplockDeadlockVictim = -3;

// Who holds locks, with how long each holder's transaction has been open;
// the condition picks the locks.
constexpr const char* kHoldersSql =
    "Select Distinct s.session_id,s.host_name,s.program_name,s.login_name,"
    "DateDiff(second,t.transaction_begin_time,GetDate()) From sys.dm_tran_locks l Join "
    "sys.dm_exec_sessions s On s.session_id=l.request_session_id Left Join "
    "sys.dm_tran_session_transactions st On st.session_id=s.session_id Left Join "
    "sys.dm_tran_active_transactions t On t.transaction_id=st.transaction_id Where "
    "l.resource_database_id=DB_ID() and l.request_status='GRANT' and "  // not a message
    "l.request_session_id<>@@SPID and %s Order by s.session_id";

std::vector<LockHolder> ReadHolders(sql::SqlAccess& access, const std::string& text) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(text);
  query.Open();
  std::vector<LockHolder> holders;
  for (; !query.End(); query.Next()) {
    LockHolder holder;
    holder.session = query.Field(0).AsInteger();
    holder.host = query.Field(1).AsString();
    holder.program = query.Field(2).AsString();
    holder.login = query.Field(3).AsString();
    if (!query.Field(4).IsNull()) holder.transactionSeconds = query.Field(4).AsInteger();
    holders.push_back(std::move(holder));
  }
  return holders;
}

bool HasNativeError(const std::exception_ptr& failure, long nativeError,
                    std::string_view sqlState) {
  try {
    std::rethrow_exception(failure);
  } catch (const sql::SqlError& e) {
    for (const sql::Diagnostic& d : e.Diagnostics()) {
      if (d.nativeError == nativeError || (!sqlState.empty() && d.sqlState == sqlState)) {
        return true;
      }
    }
  } catch (...) {
  }
  return false;
}

}  // namespace

bool IsLockTimeout(const std::exception_ptr& failure) {
  return HasNativeError(failure, kLockTimeoutError, {});
}

bool IsDeadlock(const std::exception_ptr& failure) {
  return HasNativeError(failure, kDeadlockError, "40001");
}

std::string DescribeHolders(const std::vector<LockHolder>& holders) {
  // A Chinese list is separated by the full-width semicolon.
  const char* const separator =
      text::MessageLanguage() == text::Language::kChinese ? "\xA3\xBB" : "; ";
  std::string described;
  for (const LockHolder& h : holders) {
    if (!described.empty()) described += separator;
    described +=
        h.transactionSeconds
            ? text::TrFormat("session %d (host %s, program %s, login %s, transaction open %d s)",
                             h.session, h.host, h.program, h.login, *h.transactionSeconds)
            : text::TrFormat("session %d (host %s, program %s, login %s, no open transaction)",
                             h.session, h.host, h.program, h.login);
  }
  return described;
}

void SetLockTimeout(sql::SqlAccess& access, std::int32_t seconds) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(sql::Format("SET LOCK_TIMEOUT %d", seconds * 1000));
  query.Execute();
}

void LowerDeadlockPriority(sql::SqlAccess& access) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText("SET DEADLOCK_PRIORITY LOW");
  query.Execute();
}

std::string DatabaseLockResource() {
  return "slotsync:database";
}

std::string TableHoldersSql(const std::string& table) {
  // Table locks name the object, row and page locks its partitions.
  return sql::Format(kHoldersSql,
                     sql::Format("(l.resource_associated_entity_id=Object_ID(%s) Or "
                                 "l.resource_associated_entity_id In (Select hobt_id From "
                                 "sys.partitions Where object_id=Object_ID(%s)))",
                                 sql::UnicodeLiteral(table), sql::UnicodeLiteral(table)));
}

std::string DatabaseLockHoldersSql() {
  // The server keeps only the first 32 characters of the resource's name in
  // the description; application locks are per database, and only runs take
  // one named like this.
  return sql::Format(kHoldersSql,
                     "l.resource_type='APPLICATION' and "  // not a message
                     "CharIndex(N'[slotsync:',l.resource_description)>0");
}

std::vector<LockHolder> TableLockHolders(sql::SqlAccess& access, const std::string& table) {
  return ReadHolders(access, TableHoldersSql(table));
}

std::int32_t DatabaseLockSeconds(std::int32_t lockTimeoutSeconds) {
  return lockTimeoutSeconds > 0 ? lockTimeoutSeconds : kDefaultDatabaseLockSeconds;
}

DatabaseLock::DatabaseLock(sql::SqlAccess& access)
    : access_(access), resource_(DatabaseLockResource()) {}

std::int32_t DatabaseLock::Request(std::int32_t milliseconds) {
  sql::SqlQuery query(access_, sql::kSizeConnectionName);
  query.SetText(sql::Format(
      "Declare @Result int Exec @Result=sp_getapplock @Resource=N'%s',@LockMode='Exclusive',"
      "@LockOwner='Session',@LockTimeout=%d Select @Result",
      resource_, milliseconds));
  query.Open();
  if (query.Empty())
    throw sql::SqlError(text::TrFormat("sp_getapplock gave no answer for %s", resource_));
  return query.Field(0).AsInteger();
}

std::string DatabaseLock::HolderText() {
  try {
    const std::string holders = DescribeHolders(ReadHolders(access_, DatabaseLockHoldersSql()));
    return holders.empty() ? text::Tr("another run") : holders;
  } catch (const sql::SqlError& e) {
    if (e.ConnectionLost()) throw;
    // Without VIEW SERVER STATE the server does not say; the wait is the same.
    return text::TrFormat("another run (who could not be asked: %s)", e.what());
  }
}

void DatabaseLock::Take(std::int32_t seconds,
                        const std::function<void(const std::string&)>& waiting) {
  // Asked first without waiting, so that a wait is always announced.
  std::int32_t result = Request(0);
  if (result == -1) {
    const std::string holder = HolderText();
    if (waiting) {
      // Who it is comes once, in the line that says the wait ran out.
      waiting(
          text::TrFormat("waiting up to %d s for another run on this database to end", seconds));
    }
    result = Request(seconds * 1000);
    if (result == -1) {
      throw LockedOut(text::TrFormat(
          "another run holds the database (%s) and did not end within %d s", holder, seconds));
    }
  }
  if (result == kApplockDeadlockVictim) {
    throw LockedOut(text::Tr("the wait for the database lock was chosen as a deadlock victim, so "
                             "that another session could go on"),
                    true);
  }
  if (result < 0) {
    throw sql::SqlError(text::TrFormat("sp_getapplock refused %s with %d", resource_, result));
  }
  held_ = true;
}

std::string DatabaseLock::Release() {
  if (!held_) return {};
  held_ = false;
  try {
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    query.SetText(
        sql::Format("Exec sp_releaseapplock @Resource=N'%s',@LockOwner='Session'", resource_));
    query.Execute();
    return {};
  } catch (const sql::SqlError& e) {
    // A stopped run sends nothing more; the lock belongs to the session and
    // goes with it when the run closes its connection, so there is nothing
    // to warn about.
    if (e.SqlState() == "HY008") return {};
    return text::TrFormat("releasing the database lock failed: %s", e.what());
  } catch (const std::exception& e) {
    return text::TrFormat("releasing the database lock failed: %s", e.what());
  }
}

}  // namespace slotsync::entry
