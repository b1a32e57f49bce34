#pragma once

// One restructure run: the change check, the walk over the flagged tables
// inside one transaction, and the release of everything the run created.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "entry/run_cancel.h"
#include "entry/run_locks.h"
#include "entry/size_connection.h"
#include "entry/table_progress.h"
#include "rebuild/rebuilders.h"
#include "sql/sql_access.h"
#include "ui/notice.h"
#include "ui/progress_view.h"

namespace slotsync::entry {

enum class Outcome {
  kInStep,                   // the slot columns already match the size groups
  kCommitted,                // the flagged tables were rebuilt and committed
  kRolledBack,               // a failure inside the transaction undid the run
  kFailedBeforeTransaction,  // nothing was changed: connection, check or start failed
  kCommitUnknown,            // the link broke during the commit: it may or may not have taken
  kBusy,                     // another run is in progress in this process
  kBadArguments,             // the call's arguments were unusable
  kPreviewed,                // a dry run that went through and was rolled back as asked
  kPlanned,                  // a plan: a run would commit, and no problem stands in its way
  kPlanRefused,              // a plan: a run would not commit; the findings say why
  kLockedOut,                // a lock wait ran out; rolled back or never begun, nothing changed
};

struct LeftBehind {
  std::string what;
  bool onlineCopy = false;  // an online run's copy and capture, which a new connection may remove
};

struct RunReport {
  Outcome outcome = Outcome::kFailedBeforeTransaction;
  std::int32_t slotCount = 0;    // N, from the size groups
  std::int32_t slotColumns = 0;  // m, slot columns of StockDetailTemp
  std::int32_t flaggedRows = 0;
  // Whether the run got as far as counting the slots, and as reading the
  // flagged rows: what it did not learn is unknown, not 0.
  bool slotsCounted = false;
  bool flaggedRead = false;
  std::int32_t rebuiltTables = 0;
  std::optional<std::int32_t> failedTableTag;
  std::string message;  // GBK; empty when nothing went wrong
  // Per flagged table, what a run does to it and what stands in its way:
  // from the plan, or from the check every run makes before its transaction.
  rebuild::Findings findings;
  // Every flagged table, in order, with what happened to it, settled once
  // the run has ended: the walk's tables first, then those it did not reach.
  std::vector<TableRun> tables;
  // Locked out at a table: the table and who held locks on it then.
  std::string lockedTable;
  std::vector<LockHolder> lockHolders;
  // Locked out because the server chose the run as a deadlock victim, not
  // because a lock wait ran out.
  bool deadlockVictim = false;
  // The server refused the login (SQLSTATE 28000, error 18456): whoever
  // runs many databases with the same login stops there rather than try the
  // same password again and trip a lockout policy.
  bool loginFailed = false;
  // Stopped from outside (Ctrl+C, a failed write of the command's output).
  StopReason stopped = StopReason::kNone;
  std::int64_t statementsSent = 0;  // sent to the server, whatever their outcome
  double seconds = 0;               // the whole run
  // What the run changed and could not undo before it ended, each a
  // sentence naming it and what to run (also among the warnings of
  // `message`): a foreign key it could not put back, an online run's copy
  // and capture it could not remove. A run that did not commit left the
  // database as it found it only when this is empty.
  std::vector<LeftBehind> leftBehind;
};

// Adds a line to the report's message.
void AppendMessage(RunReport& report, const std::string& message);

// An online run (--online): the detail tables are copied while the shop
// works, and only one short transaction switches every flagged table.
struct OnlineSettings {
  bool enabled = false;
  // Only remove what killed online runs left behind (--online --clean-up).
  bool cleanUpOnly = false;
  // The lock timeout of everything the online run does: the tills wait on
  // it at most this long.
  std::int32_t cutoverTimeoutSeconds = 2;
  // Cut-overs tried again after a lock-out, pausing 2, 4, 8... seconds.
  std::int32_t retries = 0;
  std::int32_t batchRows = 2000;
  // Waits between cut-over rounds; null: sleeps.
  std::function<void(std::int32_t seconds)> pause;
  // Each batch of each table's copy.
  std::function<void(const rebuild::CopyProgress&)> onCopyProgress;
};

// What a run needs from outside, so that tests and hosts can stand in.
struct RunDependencies {
  ClientFactory makeClient;
  std::function<std::unique_ptr<ui::ProgressView>()> makeProgressView;
  std::function<std::unique_ptr<rebuild::Rebuilders>(sql::SqlAccess&, ui::NoticeBox&)>
      makeRebuilders;
  ui::NoticeBox* notices = nullptr;
  sql::StatementObserver observeStatement;
  // Warnings the server sent with statements that succeeded.
  sql::MessageObserver observeMessage;
  // Called as each flagged table is handed to its rebuilder.
  std::function<void(std::int32_t tableTag)> onTable;
  bool dryRun = false;
  // Plan only: every read a run makes, no transaction, no write; the writes
  // are reported to observeStatement as planned, in order.
  bool plan = false;
  // Above 0: SET LOCK_TIMEOUT on the rebuild path, so that no lock wait
  // lasts longer; the run is locked out instead. 0: waits as long as it takes.
  std::int32_t lockTimeoutSeconds = 0;
  // Told, before the wait, whose run holds the database when another does.
  std::function<void(const std::string& text)> onLockWait;
  // Told, as the check before the transaction begins, what it checks:
  // "checking 3 tables: rights, room, dependents".
  std::function<void(const std::string& text)> onChecking;
  // Each table as its rebuild starts, when its rows are counted, and at its end.
  std::function<void(const TableRun& table)> onTableProgress;
  // Encryption was asked of the connection: a rebuild stops before its
  // transaction when the server says the session is not encrypted.
  bool requireEncryption = false;
  // Between the tries of a statement outside the transaction that waited too
  // long for a lock; a second when not set.
  std::function<void()> pauseBeforeRetry;
  OnlineSettings online;
};

// The prompt the window shows while tables are rebuilt, GBK.
inline constexpr const char* kRebuildingPrompt =
    "\xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2\xA3\xAC\xC7\xEB\xC9\xD4\xBA\xF2...";

// TableTags below 100 and from 401 to 500 name detail tables.
constexpr bool IsDetailTableTag(std::int32_t tableTag) {
  return tableTag <= 99 || (tableTag >= 401 && tableTag <= 500);
}

// Never throws. Only one run may be in progress in a process; a second call
// meanwhile returns kBusy at once and touches nothing.
RunReport RunRestructure(const ConnectionArguments& arguments, const RunDependencies& deps);

}  // namespace slotsync::entry
