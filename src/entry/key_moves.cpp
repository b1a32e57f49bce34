#include "entry/key_moves.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "entry/run_cancel.h"
#include "rebuild/rebuild_steps.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

constexpr int kAttempts = 3;

// True when the statement ran; else `failure` says why.
bool Attempt(rebuild::StatementRunner& statements, const std::string& text,
             const std::function<void()>& pause, std::string& failure) {
  for (int attempt = 1;; ++attempt) {
    try {
      statements.Execute(text);
      return true;
    } catch (const std::exception& e) {
      failure = e.what();
      const auto* sqlFailure = dynamic_cast<const sql::SqlError*>(&e);
      if (attempt == kAttempts || sqlFailure == nullptr || !rebuild::GivesWay(*sqlFailure)) {
        return false;
      }
    }
    if (pause) pause();
  }
}

std::int32_t CarriedKeys(const rebuild::TablePlan& plan) {
  return static_cast<std::int32_t>(std::count_if(
      plan.keys.begin(), plan.keys.end(), [](const rebuild::KeyMove& key) { return key.carried; }));
}

TableRun* ReportedTable(RunReport& report, std::int32_t tableTag) {
  for (TableRun& table : report.tables) {
    if (table.tableTag == tableTag) return &table;
  }
  return nullptr;
}

}  // namespace

std::vector<const rebuild::KeyMove*> KeysToMove(const std::vector<rebuild::TablePlan>& tables) {
  std::vector<const rebuild::KeyMove*> keys;
  for (const rebuild::TablePlan& table : tables) {
    for (const rebuild::KeyMove& key : table.keys) keys.push_back(&key);
  }
  return keys;
}

void TakeKeysOff(sql::SqlAccess& access, sql::SqlConnection& connection,
                 const std::vector<const rebuild::KeyMove*>& keys) {
  if (keys.empty()) return;
  rebuild::StatementRunner statements(access);
  rebuild::InShortTransaction(connection, [&] {
    for (const rebuild::KeyMove* key : keys) {
      try {
        statements.Execute(key->drop);
      } catch (const sql::SqlError& failure) {
        if (failure.HasNativeError(rebuild::kLockWaitRanOut)) {
          throw rebuild::TableLockedOut(failure, key->referenced);
        }
        throw;
      }
    }
  });
}

std::vector<KeyPut> PutKeysOn(sql::SqlAccess& access,
                              const std::vector<const rebuild::KeyMove*>& keys,
                              const std::function<void()>& pause) {
  rebuild::StatementRunner statements(access);
  std::vector<KeyPut> puts;
  for (const rebuild::KeyMove* key : keys) {
    KeyPut& put = puts.emplace_back();
    put.key = key;
    put.made = Attempt(statements, key->make, pause, put.failure);
    put.settled =
        put.made && (key->settle.empty() || Attempt(statements, key->settle, pause, put.failure));
  }
  return puts;
}

std::string KeyPutProblem(const KeyPut& put, bool afterCommit) {
  const rebuild::KeyMove& key = *put.key;
  if (!put.made) {
    const std::string statements = key.settle.empty() ? key.make : key.make + "; " + key.settle;
    return afterCommit ? text::TrFormat(
                             "the foreign key %s of %s could not be made again after the "
                             "commit, and the table is without it; the server said: %s; run: %s",
                             key.name, key.table, put.failure, statements)
                       : text::TrFormat(
                             "the foreign key %s of %s, taken off before the transaction, could "
                             "not be put back after it ended, and the table is without it; the "
                             "server said: %s; run: %s",
                             key.name, key.table, put.failure, statements);
  }
  if (put.settled) return {};
  if (key.checks) {
    return text::TrFormat(
        "the foreign key %s of %s is back, but the rows written while it was off could not be "
        "checked, so the server does not trust it; the server said: %s; once the rows are "
        "mended, run: %s",
        key.name, key.table, put.failure, key.settle);
  }
  return text::TrFormat(
      "the foreign key %s of %s is back, but enabled where it was disabled; the server said: %s; "
      "run: %s",
      key.name, key.table, put.failure, key.settle);
}

void SettleKeys(sql::SqlAccess& access, RunReport& report, bool keysOff,
                const std::function<void()>& pause) {
  if (report.outcome == Outcome::kPreviewed) {
    // What a run would make after its commit.
    for (const rebuild::TablePlan& plan : report.findings.Tables()) {
      if (TableRun* table = ReportedTable(report, plan.tableTag)) {
        table->carried.constraints += CarriedKeys(plan);
      }
    }
    return;
  }
  if (!keysOff) return;
  // Ctrl+C stops the run, not this: a key left off would stay off.
  const CleanUpAfterCancel evenAfterCtrlC;
  const bool committed = report.outcome == Outcome::kCommitted;
  // Whether the commit took is not known: the keys the new tables carry
  // are the ones that fit either way; the connection is most likely gone.
  const bool onNewTables = committed || report.outcome == Outcome::kCommitUnknown;
  const std::function<void()> wait =
      pause ? pause : [] { std::this_thread::sleep_for(std::chrono::seconds(1)); };
  for (const rebuild::TablePlan& plan : report.findings.Tables()) {
    std::vector<const rebuild::KeyMove*> keys;
    for (const rebuild::KeyMove& key : plan.keys) {
      if (key.carried || !onNewTables) keys.push_back(&key);
    }
    if (keys.empty()) continue;
    TableRun* table = ReportedTable(report, plan.tableTag);
    for (const KeyPut& put : PutKeysOn(access, keys, wait)) {
      if (committed && put.made && table != nullptr) ++table->carried.constraints;
      const std::string problem = KeyPutProblem(put, onNewTables);
      if (problem.empty()) continue;
      AppendMessage(report, text::TrFormat("warning: %s", problem));
      if (committed && table != nullptr) table->dependentsLost.push_back(problem);
      // The old table is not as the run found it.
      if (!onNewTables) report.leftBehind.push_back({problem});
    }
  }
}

}  // namespace slotsync::entry
