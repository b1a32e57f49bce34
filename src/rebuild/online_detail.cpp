#include "rebuild/online_detail.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <utility>

#include "rebuild/dependent_statements.h"
#include "rebuild/rebuild_steps.h"
#include "sql/quoting.h"
#include "sql/statement_template.h"
#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::rebuild {
namespace {

// The server's native error for a deadlock victim.

std::string Column(const std::string& name) {
  return sql::QuotedName(name);
}

std::string ColumnList(const std::vector<std::string>& columns) {
  std::string list;
  for (const std::string& column : columns) list += (list.empty() ? "" : ",") + Column(column);
  return list;
}

// The copied values in the new table's shape: the size text grows by the
// parts of the added slots here, in the copy and the capture alike, so that
// no statement over the whole table is needed later.
std::string SelectList(const OnlineCopy& copy) {
  std::string list;
  for (const std::string& column : copy.columns) {
    std::string value = Column(column);
    if (!copy.sizeTextExtension.empty() && text::EqualsIgnoringAsciiCase(column, "SizeStr")) {
      value = sql::Format("Case When %s<>'' Then %s+%s Else %s End", value, value,
                          sql::Literal(copy.sizeTextExtension), value);
    }
    list += (list.empty() ? "" : ",") + value;
  }
  return list;
}

std::string Shadow(const std::string& table) {
  return QualifiedTable(ShadowName(table));
}

std::string KeyRange(const OnlineCopy& copy, const std::string* after, const std::string& prefix) {
  return after == nullptr ? std::string()
                          : sql::Format("%s%s>%s", prefix, Column(copy.key), sql::Literal(*after));
}

}  // namespace

PreparedTable* OnlineRebuild::Find(std::int32_t tableTag) {
  for (PreparedTable& table : tables) {
    if (table.tableTag == tableTag) return &table;
  }
  return nullptr;
}

std::string ShadowName(const std::string& table) {
  return "Tmp_" + table;
}

std::string CaptureName(const std::string& table) {
  return std::string(kCapturePrefix) + table;
}

std::string CaptureTriggerStatement(const OnlineCopy& copy) {
  const std::string shadow = Shadow(copy.table);
  const std::string key = Column(copy.key);
  // A till's statement must never fail for the capture: without its target
  // it does nothing, and a row it cannot write (XACT_ABORT is on in a
  // trigger unless it says otherwise) makes it drop the new table, which
  // stops the online run, instead of the till's statement.
  return sql::Format(
      "Create Trigger %s On %s After Insert, Update, Delete As Begin Set NoCount On; "
      "If Object_ID(%s, N'U') Is Null Return; Set XACT_ABORT Off; "
      "Begin Try Delete n From %s n Where n.%s In (Select %s From deleted Union All Select %s "
      "From inserted); Insert into %s(%s) Select %s From inserted; End Try "
      "Begin Catch If XACT_STATE()=1 And Object_ID(%s, N'U') Is Not Null Drop Table %s; End Catch "
      "End",
      QualifiedTable(CaptureName(copy.table)), QualifiedTable(copy.table),
      sql::UnicodeLiteral(shadow), shadow, key, key, key, shadow, ColumnList(copy.columns),
      SelectList(copy), sql::UnicodeLiteral(shadow), shadow);
}

std::string BatchBoundQuery(const OnlineCopy& copy, const std::string* after, std::int32_t rows) {
  return sql::Format("Select Count(*),Max(b.%s) From (Select Top %d %s From %s%s Order By %s) b",
                     Column(copy.key), rows, Column(copy.key), QualifiedTable(copy.table),
                     KeyRange(copy, after, " Where "), Column(copy.key));
}

std::string BatchCopyStatement(const OnlineCopy& copy, const std::string* after,
                               const std::string& last) {
  const std::string shadow = Shadow(copy.table);
  const std::string key = Column(copy.key);
  // Held to the batch's end: a till's change to a row of the range waits
  // for the batch, and its capture then finds the row copied.
  return sql::Format(
      "Insert into %s(%s) Select %s From %s o With (UpdLock, HoldLock) Where %so.%s<=%s And Not "
      "Exists (Select * From %s n Where n.%s=o.%s)",
      shadow, ColumnList(copy.columns), SelectList(copy), QualifiedTable(copy.table),
      after == nullptr ? std::string() : KeyRange(copy, after, "o.") + " And ", key,
      sql::Literal(last), shadow, key, key);
}

std::string CutOverCheckQuery(const OnlineCopy& copy, bool shadow) {
  std::string sums;
  for (const std::string& slot : copy.slots) {
    sums += sql::Format(",Sum(Cast(%s As BigInt))", Column(slot));
  }
  if (!shadow) {
    for (const std::string& slot : copy.dropped) {
      sums += sql::Format(",Sum(Cast(%s As BigInt))", Column(slot));
    }
  }
  return sql::Format("Select Count_Big(*)%s From %s With (TabLockX, HoldLock)", sums,
                     shadow ? Shadow(copy.table) : QualifiedTable(copy.table));
}

std::string DropCaptureStatement(const std::string& table) {
  return "Drop Trigger " + QualifiedTable(CaptureName(table));
}

std::string RemoveCaptureStatement(const std::string& table) {
  const std::string capture = QualifiedTable(CaptureName(table));
  return sql::Format("If Object_ID(%s, N'TR') Is Not Null Drop Trigger %s",
                     sql::UnicodeLiteral(capture), capture);
}

std::string RemoveShadowStatement(const std::string& table) {
  const std::string shadow = Shadow(table);
  return sql::Format("If Object_ID(%s, N'U') Is Not Null Drop Table %s",
                     sql::UnicodeLiteral(shadow), shadow);
}

std::string LeftoverQuery() {
  return "Select o.name From sys.triggers t Join sys.objects o On o.object_id=t.parent_id Where "
         "o.schema_id=Schema_ID(N'dbo') And t.name=N'" +
         std::string(kCapturePrefix) + "'+o.name Order By o.name";
}

void CopyInBatches(sql::SqlAccess& access, const OnlineCopy& copy, OnlineRebuild& online) {
  CopyProgress progress;
  progress.table = copy.table;
  progress.estimated = CatalogRowCount(access, copy.table).value_or(0);
  const auto start = std::chrono::steady_clock::now();
  std::optional<std::string> after;
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  for (;;) {
    std::int64_t rows = 0;
    for (std::int32_t attempt = 1;; ++attempt) {
      try {
        query.SetText(BatchBoundQuery(copy, after ? &*after : nullptr, online.batchRows));
        query.OpenByPosition();
        rows = query.Empty() ? 0 : query.Field(0).AsInteger();
        if (rows == 0) break;
        const std::string last = query.Field(1).AsString();
        query.SetText(BatchCopyStatement(copy, after ? &*after : nullptr, last));
        query.Execute();
        after = last;
        break;
      } catch (const sql::SqlError& failure) {
        // The tills come first: a batch that waited too long, or lost a
        // deadlock to one of them, is tried again.
        if (!GivesWay(failure) || attempt >= online.batchAttempts) throw;
      }
    }
    if (rows == 0) break;
    progress.rows += rows;
    ++progress.batches;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (progress.estimated > progress.rows) {
      progress.secondsLeft = seconds * static_cast<double>(progress.estimated - progress.rows) /
                             static_cast<double>(progress.rows);
    } else {
      progress.secondsLeft = 0;
    }
    if (online.onProgress) online.onProgress(progress);
    if (rows < online.batchRows) break;
  }
}

void PrepareTable(sql::SqlAccess& access, OnlineRebuild& online, PreparedTable prepared,
                  const EarlyWork& early, const NewTableShape& shape,
                  const std::function<void()>& makeTable) {
  PreparedTable& table = online.tables.emplace_back(std::move(prepared));
  table.early = EarlyStatements(table.copy.table, early, shape);
  sql::SqlConnection& connection = access.Find(sql::kSizeConnectionName);
  // A plan shows the first batch for them all, its range read before the
  // capture is recorded: that names the table, and the plan would take it
  // for a change of the rows the read counts.
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  std::string firstLast;
  const bool planning = sql::PlanOf(access) != nullptr;
  if (planning) {
    query.SetText(BatchBoundQuery(table.copy, nullptr, online.batchRows));
    query.OpenByPosition();
    if (!query.Empty() && query.Field(0).AsInteger() > 0) firstLast = query.Field(1).AsString();
  }
  // The trigger waits for the tills' statements on the table to end, and
  // they for it: a wait that runs out is tried again, like a batch.
  for (std::int32_t attempt = 1;; ++attempt) {
    try {
      InShortTransaction(connection, [&] {
        makeTable();
        // Built while the table is empty, the indexes then grow with each
        // batch: built on the filled table they would hold it for the whole
        // build, and with it every till whose change the capture writes there.
        if (!early.Empty()) {
          CarryDependents(access, {EarlyCarry(table.copy.table, early, shape)}, nullptr);
        }
        query.SetText(CaptureTriggerStatement(table.copy));
        query.Execute();
      });
      break;
    } catch (const sql::SqlError& failure) {
      if (!GivesWay(failure) || attempt >= online.batchAttempts) throw;
    }
  }
  table.objectsMade = true;
  if (!planning) {
    CopyInBatches(access, table.copy, online);
  } else if (!firstLast.empty()) {
    query.SetText(BatchCopyStatement(table.copy, nullptr, firstLast));
    query.Execute();
  }
}

std::string EarlyConstraintName(std::int32_t tableTag, std::size_t n) {
  return sql::Format("%s%d_%d", kCapturePrefix, tableTag, static_cast<std::int32_t>(n));
}

namespace {

// The early work as the old table names it, for what is said of it.
TableDependents AsTheOldTableHasIt(const std::string& table, const EarlyWork& early) {
  TableDependents old;
  old.table = table;
  old.exists = true;
  old.indexes = early.indexes;
  old.checks = early.checks;
  return old;
}

// Calls `each` with every early constraint under its early name, in the
// order EarlyConstraintName counts them; `turnedOff` says that a check is
// made turned off and turned on in the cut-over.
template <typename Each>
void ForEachEarlyConstraint(TableDependents& made, std::int32_t tableTag, Each each) {
  std::size_t n = 0;
  for (CheckInfo& check : made.checks) {
    const bool turnedOff = !check.disabled && (check.notTrusted || check.callsUserCode);
    each(check.name, EarlyConstraintName(tableTag, ++n), turnedOff);
    check.disabled = check.disabled || turnedOff;
  }
  for (IndexInfo& index : made.indexes) {
    if (index.uniqueConstraint) each(index.name, EarlyConstraintName(tableTag, ++n), false);
  }
}

// Whether the carry makes the constraint `name` of the old table at all: one
// whose columns the new table lacks is lost, one the run cannot send
// refused. (An index may share a check's name: only constraints count.)
bool Carried(const TableDependents& old, const std::string& name, const NewTableShape& shape) {
  TableDependents one = old;
  std::erase_if(one.checks, [&](const CheckInfo& c) { return c.name != name; });
  std::erase_if(one.indexes,
                [&](const IndexInfo& i) { return !i.uniqueConstraint || i.name != name; });
  return !PlanCarry(one, shape, CarryScope::kEverything).statements.empty();
}

}  // namespace

Carry EarlyCarry(const std::string& table, const EarlyWork& early, const NewTableShape& shape) {
  const TableDependents old = AsTheOldTableHasIt(table, early);
  Carry carry = PlanCarry(old, shape, CarryScope::kEverything);
  TableDependents made = old;
  made.table = ShadowName(table);
  ForEachEarlyConstraint(made, early.tableTag, [&](std::string& name, std::string earlyName, bool) {
    name = std::move(earlyName);
  });
  carry.statements = PlanCarry(made, shape, CarryScope::kEverything).statements;
  // Compressed first, as a run does: rebuilding a table rebuilds its indexes.
  TableDependents options;
  options.table = made.table;
  options.dataCompression = early.dataCompression;
  std::vector<CarryStatement> first;
  for (std::string& statement : TableOptionStatements(options)) {
    first.push_back({std::move(statement), made.table});
  }
  carry.statements.insert(carry.statements.begin(), first.begin(), first.end());
  return carry;
}

std::vector<std::string> EarlyStatements(const std::string& table, const EarlyWork& early,
                                         const NewTableShape& shape) {
  std::vector<std::string> statements;
  for (const CarryStatement& statement : EarlyCarry(table, early, shape).statements) {
    statements.push_back(statement.text);
  }
  return statements;
}

std::vector<std::string> EarlyConstraintSwitch(const std::string& table, const EarlyWork& early,
                                               const NewTableShape& shape) {
  const TableDependents old = AsTheOldTableHasIt(table, early);
  TableDependents made = old;
  std::vector<std::string> statements;
  ForEachEarlyConstraint(
      made, early.tableTag,
      [&](const std::string& name, const std::string& earlyName, bool turnedOff) {
        if (!Carried(old, name, shape)) return;
        statements.push_back(sql::Format("Exec sp_rename %s, %s, N'OBJECT'",
                                         sql::UnicodeLiteral(QualifiedTable(earlyName)),
                                         sql::UnicodeLiteral(name)));
        if (!turnedOff) return;
        statements.push_back(sql::Format("Alter Table %s With NoCheck Check Constraint %s",
                                         QualifiedTable(table), sql::QuotedName(name)));
      });
  return statements;
}

EarlyWork LeaveWhatTheCutOverFinds(TableDependents& old, std::int32_t tableTag) {
  EarlyWork early;
  early.tableTag = tableTag;
  std::copy_if(old.indexes.begin(), old.indexes.end(), std::back_inserter(early.indexes),
               BuiltBeforeCutOver);
  std::erase_if(old.indexes, BuiltBeforeCutOver);
  early.checks = std::exchange(old.checks, {});
  early.dataCompression = std::exchange(old.dataCompression, 0);
  return early;
}

std::optional<std::string> LeftoverCaptureNote(const TableDependents& old) {
  const std::string capture = CaptureName(old.table);
  if (std::none_of(old.triggers.begin(), old.triggers.end(),
                   [&](const TriggerInfo& t) { return t.name == capture; })) {
    return std::nullopt;
  }
  return text::TrFormat(
      "an online run that was stopped left the capture trigger dbo.%s on %s and the table "
      "dbo.%s: the rebuild drops both, the trigger with the old table and dbo.%s with its first "
      "statement, and does not make the trigger again",
      capture, old.table, ShadowName(old.table), ShadowName(old.table));
}

bool BuiltBeforeCutOver(const IndexInfo& index) {
  return !index.clustered;
}

void LockAndCheckPrepared(sql::SqlAccess& access, OnlineRebuild& online) {
  std::vector<PreparedTable*> order;
  for (PreparedTable& table : online.tables) order.push_back(&table);
  // Every cut-over takes its locks in the same order, so two of them (or a
  // cut-over and a till touching two tables) cannot wait on each other.
  std::sort(order.begin(), order.end(), [](const PreparedTable* a, const PreparedTable* b) {
    return a->copy.table < b->copy.table;
  });
  sql::SqlQuery old(access, sql::kSizeConnectionName);
  sql::SqlQuery made(access, sql::kSizeConnectionName);
  for (PreparedTable* table : order) {
    const OnlineCopy& copy = table->copy;
    try {
      old.SetText(CutOverCheckQuery(copy, false));
      old.OpenByPosition();
      made.SetText(CutOverCheckQuery(copy, true));
      made.OpenByPosition();
    } catch (const sql::SqlError& failure) {
      if (failure.HasNativeError(kLockWaitRanOut)) throw TableLockedOut(failure, copy.table);
      throw;
    }
    bool same = !old.Empty() && !made.Empty();
    for (std::size_t i = 0; same && i < made.FieldCount(); ++i) {
      same = old.Field(i).AsString() == made.Field(i).AsString();
    }
    for (std::size_t i = made.FieldCount(); same && i < old.FieldCount(); ++i) {
      same = old.Field(i).IsNull() || old.Field(i).AsString() == "0";
    }
    if (same) {
      table->rows = std::stoll(made.Field(0).AsString());
      continue;
    }
    throw std::runtime_error(text::TrFormat(
        "TableTag %d: %s", table->tableTag,
        text::TrFormat("dbo.%s does not hold exactly the rows and size quantities of %s at the "
                       "cut-over (%s rows against %s); nothing was changed",
                       ShadowName(copy.table), copy.table,
                       made.Empty() ? std::string("?") : made.Field(0).AsString(),
                       old.Empty() ? std::string("?") : old.Field(0).AsString())));
  }
}

void RemoveOnlineObjects(sql::SqlAccess& access, const std::string& table) {
  sql::SqlConnection& connection = access.Find(sql::kSizeConnectionName);
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  InShortTransaction(connection, [&] {
    query.SetText(RemoveCaptureStatement(table));
    query.Execute();
    query.SetText(RemoveShadowStatement(table));
    query.Execute();
  });
}

}  // namespace slotsync::rebuild
