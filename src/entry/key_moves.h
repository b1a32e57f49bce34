#pragma once

// The foreign keys of the tables a run drops, moved around its transaction
// (rebuild::KeyMove says why): taken off before it in one short transaction,
// made again after its commit, or put back after a rollback, each for a
// moment.

#include <functional>
#include <string>
#include <vector>

#include "entry/restructure_run.h"
#include "rebuild/findings.h"
#include "sql/sql_access.h"

namespace slotsync::entry {

// Every key of the flagged tables' plans, in their order.
std::vector<const rebuild::KeyMove*> KeysToMove(const std::vector<rebuild::TablePlan>& tables);

// Takes every key off in one short transaction: all of them, or none when
// it throws. A lock wait that runs out throws rebuild::TableLockedOut
// naming the table the key references, whose holders the user must see.
void TakeKeysOff(sql::SqlAccess& access, sql::SqlConnection& connection,
                 const std::vector<const rebuild::KeyMove*>& keys);

// What became of one key put on its table.
struct KeyPut {
  const rebuild::KeyMove* key = nullptr;
  bool made = false;
  bool settled = false;  // disabled or checked as it was, or nothing to do
  std::string failure;   // what the server said when either did not happen
};

// Makes each key (With NoCheck), then disables or checks it as it was, each
// statement on its own, outside any transaction. A lock wait that runs out
// or a deadlock is tried again after `pause`, three times in all: the shop
// is selling, and the wait is for the table every till reads.
std::vector<KeyPut> PutKeysOn(sql::SqlAccess& access,
                              const std::vector<const rebuild::KeyMove*>& keys,
                              const std::function<void()>& pause);

// For the report: what went wrong with a key and what to run about it;
// empty when all went well. `afterCommit`: made on the new table, else put
// back on the old one after a rollback.
std::string KeyPutProblem(const KeyPut& put, bool afterCommit);

// At the run's end, the keys taken off before its transaction (`keysOff`):
// made again on the new tables after a commit (those carried), put back on
// the old ones otherwise, each said in the report where it went wrong; a
// dry run counts those it would make. `pause` comes between tries; null:
// a second.
void SettleKeys(sql::SqlAccess& access, RunReport& report, bool keysOff,
                const std::function<void()>& pause);

}  // namespace slotsync::entry
