#pragma once

// What a planning pass learns about each flagged table: what a run would do
// to it and every problem that would stop the run. The rebuilders fill it
// while the connection records their writes (sql/write_plan.h); a run that
// executes has none, and its rebuilders stop at the first problem instead.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace slotsync::rebuild {

// SQL Server's limit of columns in one table.
inline constexpr std::int32_t kMaxColumnsPerTable = 1024;

enum class TableKind { kDetail, kPerTerminal, kNothingToDo };

enum class Severity {
  kRefusal,  // the run would not commit: it rolls back or does not start
  kNotice,   // the run commits, but this table stays flagged (a fallen size count)
  kNote,     // something the plan cannot know before the run
};

struct Problem {
  std::int32_t tableTag = 0;  // 0 for the database as a whole
  Severity severity = Severity::kRefusal;
  std::string message;  // GBK: what is wrong, with the table, column and text, and what to change
  bool quantitiesAboveN = false;  // the size-decrease notice's case
};

// What a rebuild re-creates on the new tables of what the old ones held
// beyond their columns (rebuild/table_dependents.h).
struct CarriedCounts {
  std::int32_t indexes = 0;
  std::int32_t constraints = 0;  // check, default, unique and foreign key
  std::int32_t permissions = 0;
  std::int32_t triggers = 0;
  std::int32_t properties = 0;

  CarriedCounts& operator+=(const CarriedCounts& other);
  std::int32_t Total() const;
};

// "3 indexes, 4 permissions, 1 trigger carried"; empty when nothing is.
std::string CarriedText(const CarriedCounts& counts);

// A foreign key of a table the rebuild drops. Dropping a foreign key, or a
// table that has one, and making one all take a schema lock on the table it
// references (the goods master every till reads), held until the
// transaction ends. So a run takes the keys off before its transaction, in
// one short transaction of its own, and makes the carried ones again after
// its commit, each on its own; after a rollback it puts them all back on the
// old tables. The table holding it has the same name before and after, so
// `make` and `settle` serve both.
struct KeyMove {
  std::string table;  // the table that holds it
  std::string name;
  std::string referenced;  // quoted, schema-qualified
  std::string drop;        // "Alter Table [dbo].[T] Drop Constraint [FK]"
  std::string make;        // the key again, With NoCheck: nothing scans the rows yet
  // After `make`: the key disabled again, or the rows checked when the key
  // was trusted ("... With Check Check Constraint [FK]"); empty when neither.
  std::string settle;
  bool checks = false;   // `settle` is the check
  bool carried = false;  // made again on the new table, else lost with the old one
};

struct TablePlan {
  std::int32_t tableTag = 0;
  TableKind kind = TableKind::kNothingToDo;
  std::string tableName;
  std::optional<std::int64_t> rows;  // rows to copy (detail) or held (per-terminal)
  std::int32_t slotsNow = 0;         // the highest slot column the table has
  std::int32_t slotsAfter = 0;       // N, for a table with size columns
  std::vector<std::string> columnsAdded;
  std::vector<std::string> columnsDropped;
  bool sizeTextsUpdated = false;
  bool triggerCalled = false;
  // Tables recreated empty by design, with the rows they hold now (unknown
  // when the catalog has no count, e.g. the table is missing).
  std::vector<std::pair<std::string, std::optional<std::int64_t>>> emptied;
  CarriedCounts carried;
  std::vector<std::string> dependentsLost;           // each named, with the reason
  std::vector<KeyMove> keys;                         // of every table of it that is dropped
  std::size_t firstStatement = 0, endStatement = 0;  // in the connection's WritePlan
};

class Findings {
 public:
  // Starts the plan of the next flagged table.
  TablePlan& Begin(std::int32_t tableTag);
  TablePlan& Current() { return tables_.back(); }

  void Add(Problem problem) { problems_.push_back(std::move(problem)); }
  const std::vector<TablePlan>& Tables() const { return tables_; }
  std::vector<TablePlan>& Tables() { return tables_; }
  const std::vector<Problem>& Problems() const { return problems_; }

  // Problems of the given severity, all tables.
  std::size_t Count(Severity severity) const;
  std::size_t ProblemsOf(std::int32_t tableTag) const;
  // Refusals of the given table alone.
  bool Refused(std::int32_t tableTag) const;

 private:
  std::vector<TablePlan> tables_;
  std::vector<Problem> problems_;
};

// The rows the tables a rebuild recreates empty hold now; unknown when one
// of their counts is.
std::optional<std::int64_t> RowsLostByDesign(const TablePlan& table);

// A problem found while rebuilding `tableTag`: recorded and passed over when
// planning (`findings` set), so that one pass finds every problem; thrown as
// "TableTag %d: message" when the run executes.
void Flag(Findings* findings, std::int32_t tableTag, const std::string& message,
          Severity severity = Severity::kRefusal, bool quantitiesAboveN = false);

}  // namespace slotsync::rebuild
