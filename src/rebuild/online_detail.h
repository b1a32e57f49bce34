#pragma once

// The online rebuild of detail tables (--online): the new table is built as
// dbo.Tmp_<name> while the shop goes on selling, a capture trigger on the old
// table keeps it current, the rows are copied in short key-range batches,
// and one short transaction for every flagged table switches them over.
//
// The capture writes each changed row straight into the new table, in its
// new shape, so there is no queue to replay: once the copy is done the new
// table holds what the old one holds, and the cut-over only checks that.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rebuild/table_dependents.h"
#include "sql/sql_access.h"

namespace slotsync::rebuild {

// Every object an online run leaves while it works carries this prefix (the
// capture trigger) or is dbo.Tmp_ plus the name of the table the trigger
// sits on, so that what a killed run left is found again.
inline constexpr std::string_view kCapturePrefix = "slotsync_online_";

// What the copy of one detail table reads and writes, in both phases.
struct OnlineCopy {
  std::string table;                 // T, as S_Modify names it
  std::string key;                   // the one key column
  std::vector<std::string> columns;  // copied columns, in copy-list order (x_1..x_M last)
  std::vector<std::string> slots;    // x_1..x_M, the copied slot columns
  std::vector<std::string> dropped;  // old slot columns above N: must hold no quantity
  std::string sizeTextExtension;     // ".0" per added slot, empty when no size text grows
};

enum class OnlinePhase {
  kPrepare,  // build dbo.Tmp_T, start the capture, copy, build its indexes
  kCutOver,  // inside the one transaction: switch the prepared tables over
};

// How far the copy of one table has come.
struct CopyProgress {
  std::string table;
  std::int64_t rows = 0;       // copied so far by the batches
  std::int64_t estimated = 0;  // the rows the catalog said the table held, 0 unknown
  std::int32_t batches = 0;
  double secondsLeft = -1;  // negative: not known yet
};

// One table an online run has prepared.
struct PreparedTable {
  std::int32_t tableTag = 0;
  OnlineCopy copy;
  bool objectsMade = false;  // dbo.Tmp_T and its capture were committed
  std::int64_t rows = -1;    // as the cut-over's check counted them
  // What was built on dbo.Tmp_T before the copy (EarlyStatements): the
  // cut-over finds the same in the old table, or the copy lacks something.
  std::vector<std::string> early;
};

// What an online run shares with its rebuilders.
struct OnlineRebuild {
  OnlinePhase phase = OnlinePhase::kPrepare;
  std::int32_t batchRows = 2000;
  // A batch that ran out of its lock wait or lost a deadlock is tried again
  // this many times before the run gives up.
  std::int32_t batchAttempts = 5;
  std::vector<PreparedTable> tables;
  std::function<void(const CopyProgress&)> onProgress;

  PreparedTable* Find(std::int32_t tableTag);
};

// "Tmp_T" and "slotsync_online_T".
std::string ShadowName(const std::string& table);
std::string CaptureName(const std::string& table);

// The AFTER INSERT, UPDATE, DELETE trigger that keeps dbo.Tmp_T current.
std::string CaptureTriggerStatement(const OnlineCopy& copy);
// The bound of the next batch: its row count and its last key.
std::string BatchBoundQuery(const OnlineCopy& copy, const std::string* after, std::int32_t rows);
// Copies the rows of T between two keys that the capture has not written.
std::string BatchCopyStatement(const OnlineCopy& copy, const std::string* after,
                               const std::string& last);
// Locks T (or dbo.Tmp_T) for the cut-over and reads what the two must agree
// on: the rows, and the sum of every copied slot quantity (T also: of the
// slot columns the new table drops, which must be 0).
std::string CutOverCheckQuery(const OnlineCopy& copy, bool shadow);
std::string DropCaptureStatement(const std::string& table);
// Each removes its object only when it is there.
std::string RemoveCaptureStatement(const std::string& table);
std::string RemoveShadowStatement(const std::string& table);
// The tables in dbo that carry a capture trigger.
std::string LeftoverQuery();

// What an online run builds on dbo.Tmp_T while it is still empty, taken
// out of what the cut-over carries: the indexes, unique constraints and
// check constraints (built on the filled table, an index would read every
// row and a check would check every row inside the cut-over), and the
// compression of the old table (which would rewrite every row there).
struct EarlyWork {
  std::int32_t tableTag = 0;
  std::vector<IndexInfo> indexes;  // unique constraints among them
  std::vector<CheckInfo> checks;
  std::int32_t dataCompression = 0;  // as TableDependents::dataCompression
  bool Empty() const { return indexes.empty() && checks.empty() && dataCompression == 0; }
};

// The old table holds the names of its constraints until the cut-over drops
// it, so dbo.Tmp_T gets them under names of the run's own first:
// "slotsync_online_<TableTag>_<n>", n counting its checks, then its unique
// constraints, from 1.
std::string EarlyConstraintName(std::int32_t tableTag, std::size_t n);

// Prepares one table: `makeTable` (the rebuild's own statements for
// dbo.Tmp_T and its key), the `early` indexes on the still empty table and
// the capture in one short transaction, so that all stand or none; then the
// copy. A plan records one batch for all.
void PrepareTable(sql::SqlAccess& access, OnlineRebuild& online, PreparedTable prepared,
                  const EarlyWork& early, const NewTableShape& shape,
                  const std::function<void()>& makeTable);

// The carry of the `early` work to dbo.Tmp_<table>: its statements make the
// constraints under their early names, and a check the copied rows must not
// meet (one the old table does not trust, or one that calls a function) is
// made turned off; what it carries, loses or refuses is said of <table>
// under the real names.
Carry EarlyCarry(const std::string& table, const EarlyWork& early, const NewTableShape& shape);

// The statements of EarlyCarry, which say what the copy was given.
std::vector<std::string> EarlyStatements(const std::string& table, const EarlyWork& early,
                                         const NewTableShape& shape);

// In the cut-over, once dbo.Tmp_T has taken the old table's name: each early
// constraint gets its real name back (sp_rename renames a unique
// constraint's index with it), and a check made turned off is turned on
// again without checking the rows, as the run without --online leaves it.
std::vector<std::string> EarlyConstraintSwitch(const std::string& table, const EarlyWork& early,
                                               const NewTableShape& shape);

// Takes out of the old table's dependents what is built on dbo.Tmp_T before
// the cut-over (returned), which the cut-over's carry then leaves out. (No
// carry makes a capture again: it goes with the old table.)
EarlyWork LeaveWhatTheCutOverFinds(TableDependents& old, std::int32_t tableTag);

// For a run without --online: what a stopped online run left on the old
// table, and that the rebuild removes it; none when it left nothing there.
std::optional<std::string> LeftoverCaptureNote(const TableDependents& old);

// Copies T into dbo.Tmp_T in batches of `online.batchRows`, each its own
// short transaction; the capture must already be running.
void CopyInBatches(sql::SqlAccess& access, const OnlineCopy& copy, OnlineRebuild& online);

// Whether a carried index is built on dbo.Tmp_T before the copy: all but a
// clustered one, which the key's clustered index leaves no room for.
bool BuiltBeforeCutOver(const IndexInfo& index);

// Locks every prepared table in a fixed order (by name) and checks that its
// new table holds exactly its rows; throws TableLockedOut naming the table
// when a lock wait runs out.
void LockAndCheckPrepared(sql::SqlAccess& access, OnlineRebuild& online);

// Removes the capture and dbo.Tmp_T of a table, in a short transaction of
// their own, the capture first.
void RemoveOnlineObjects(sql::SqlAccess& access, const std::string& table);

}  // namespace slotsync::rebuild
