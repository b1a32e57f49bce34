#include "entry/key_moves.h"

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

}  // namespace slotsync::entry
