#pragma once

// What the detail-table and the per-terminal rebuilds have in common: the
// S_Modify row they start from, the CREATE TABLE text they assemble, the
// drops whose failure they ignore and the flag they clear at the end.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sql/sql_access.h"
#include "sql/sql_error.h"

namespace slotsync::rebuild {

// The texts of a TableTag's S_Modify row. All are empty when the row is
// missing; a NULL reads as empty text.
struct SModifyRow {
  bool found = false;
  std::string tableName;
  std::string keyField;
  std::string createField;
  std::string fieldKind;
  std::string fixedField;
  std::string fixedFieldKind;
};

// Which columns a rebuild fetches by name: each rebuild reads only its own,
// so a table lacking another rebuild's column does not fail it.
enum class SModifyColumns {
  kDetail,    // KeyField, TableName, CreateField, FieldKind
  kTerminal,  // TableName, CreateField, FieldKind, FixedField, FixedFieldKind
};

// Reads the first row of "Select * from S_Modify Where TableTag=%d". A column
// the result lacks fails with "Field '%s' not found".
SModifyRow ReadSModifyRow(sql::SqlAccess& access, std::int32_t tableTag, SModifyColumns columns);

// A CREATE TABLE text assembled as 16-bit text, the way every generated
// CREATE TABLE text is held, and narrowed back to GBK before the table name
// goes in. The texts appended are GBK.
class CreateTableText {
 public:
  CreateTableText& Append(std::string_view gbk);
  // The GBK template, still holding its "%s" placeholders.
  std::string Narrow() const;

 private:
  std::u16string wide_;
};

// One column definition of a CREATE TABLE text: the name (without
// brackets) and the rest of its definition.
struct ColumnDefinition {
  std::string name;
  std::string definition;  // the type and its clauses, e.g. "Varchar(20) Null"
};

// The column definitions of a CREATE TABLE text, split where the server
// splits them: at the commas between its outer parentheses, not at those
// inside a type ("Decimal(18,2)") or a quoted default.
std::vector<ColumnDefinition> ColumnsOf(std::string_view createTable);

// The byte capacity of a character column type the server would store a
// copied value in ("Varchar(20)" 20, "NVarchar(10)" 20 as UTF-16), and
// whether it is a national type; nullopt for other types and for max.
struct TextCapacity {
  std::int64_t bytes = 0;
  bool national = false;
};
std::optional<TextCapacity> TextCapacityOf(std::string_view definition);

// Whether a column type carries this clause ("NULL", "DEFAULT"; upper
// case) as a word of its own. A type with a clause the template adds itself
// is one the server refuses as conflicting or doubled.
bool HasClause(std::string_view kind, std::string_view clause);

// The rows a table holds by the server's catalog, which reads no row and
// takes no lock a terminal would notice; nullopt when there is no such table.
std::optional<std::int64_t> CatalogRowCount(sql::SqlAccess& access, const std::string& table);

// The server's native error when a lock wait ran out (SET LOCK_TIMEOUT).
inline constexpr long kLockWaitRanOut = 1222;
// ... and when the session was chosen as a deadlock victim.
inline constexpr long kDeadlockVictim = 1205;

// A lock wait ran out or the run gave way in a deadlock: the shop's sessions
// come first, and a short statement of the run is worth another try.
bool GivesWay(const sql::SqlError& failure);

// `work` in a short transaction of its own, committed; when anything in it
// throws, it is rolled back and the failure goes on.
void InShortTransaction(sql::SqlConnection& connection, const std::function<void()>& work);

// A statement of the rebuild ran out of its lock wait (a drop it passes
// over, a carried dependent, a refreshed view): the table or view it waited
// for is named, so that the run can ask who holds it.
class TableLockedOut : public sql::SqlError {
 public:
  TableLockedOut(const sql::SqlError& failure, std::string table)
      : sql::SqlError(failure), table_(std::move(table)) {}
  const std::string& Table() const { return table_; }

 private:
  std::string table_;
};

// What a drop's failure means when the table is still there, by the
// server's native error; empty when there is nothing more to say.
std::string DropFailureMeaning(const sql::SqlError& failure);

// The statements of one rebuild, sent one by one on the run's connection.
class StatementRunner {
 public:
  explicit StatementRunner(sql::SqlAccess& access);

  void Execute(std::string statement);
  // For the drops of `table` only: a table that is not there is no reason
  // to stop. Any other failure is: a lock wait that ran out throws
  // TableLockedOut; otherwise, when the table is still there, the drop's own
  // error is thrown with what it means, instead of the next statement's
  // confusing one ("There is already an object named ...").
  void ExecuteIgnoringFailure(std::string statement, const std::string& table);
  // "Update S_Modify Set Modified=0 Where TableTag=%d": the rebuild is done.
  void ClearModifiedFlag(std::int32_t tableTag);

 private:
  void StopUnlessGone(const sql::SqlError& failure, const std::string& table);

  sql::SqlAccess& access_;
  sql::SqlQuery query_;
};

}  // namespace slotsync::rebuild
