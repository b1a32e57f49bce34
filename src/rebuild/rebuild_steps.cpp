#include "rebuild/rebuild_steps.h"

#include <algorithm>
#include <exception>
#include <string>

#include "sql/quoting.h"
#include "sql/statement_template.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::rebuild {

SModifyRow ReadSModifyRow(sql::SqlAccess& access, std::int32_t tableTag, SModifyColumns columns) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(sql::Format("Select * from S_Modify Where TableTag=%d", tableTag));
  query.Open();
  SModifyRow row;
  if (query.Empty()) return row;
  row.found = true;
  const auto text = [&query](std::string_view name) { return query.FieldByName(name).AsString(); };
  if (columns == SModifyColumns::kDetail) {
    row.keyField = text("KeyField");
    row.tableName = text("TableName");
    row.createField = text("CreateField");
    row.fieldKind = text("FieldKind");
  } else {
    row.tableName = text("TableName");
    row.createField = text("CreateField");
    row.fieldKind = text("FieldKind");
    row.fixedField = text("FixedField");
    row.fixedFieldKind = text("FixedFieldKind");
  }
  return row;
}

CreateTableText& CreateTableText::Append(std::string_view gbk) {
  wide_ += text::GbkToUtf16(gbk);
  return *this;
}

std::string CreateTableText::Narrow() const {
  return text::Utf16ToGbk(wide_);
}

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

ColumnDefinition SplitDefinition(std::string_view text) {
  text = Trimmed(text);
  ColumnDefinition column;
  std::size_t end = 0;
  if (!text.empty() && text.front() == '[') {
    end = std::min(text::FindAsciiCharacter(text, ']'), text.size());
    column.name = std::string(text.substr(1, end - 1));
    end = std::min(end + 1, text.size());
  } else {
    end = std::min(text.find(' '), text.size());
    column.name = std::string(text.substr(0, end));
  }
  column.definition = std::string(Trimmed(text.substr(end)));
  return column;
}

bool StartsWithWord(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if ((text[i] | 0x20) != (word[i] | 0x20)) return false;
  }
  return text.size() == word.size() || text[word.size()] == '(' || text[word.size()] == ' ';
}

}  // namespace

std::vector<ColumnDefinition> ColumnsOf(std::string_view createTable) {
  std::vector<ColumnDefinition> columns;
  const std::size_t open = createTable.find('(');
  if (open == std::string_view::npos) return columns;
  int depth = 0;
  bool quoted = false;
  std::size_t start = open + 1;
  for (std::size_t i = open + 1; i < createTable.size(); ++i) {
    const char c = createTable[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      ++i;  // a GBK character: its trail byte is no ASCII punctuation
      continue;
    }
    if (c == '\'') quoted = !quoted;
    if (quoted) continue;
    if (c == '(') ++depth;
    if ((c == ',' && depth == 0) || (c == ')' && depth == 0)) {
      if (i > start) columns.push_back(SplitDefinition(createTable.substr(start, i - start)));
      start = i + 1;
      if (c == ')') break;
    } else if (c == ')') {
      --depth;
    }
  }
  return columns;
}

std::optional<TextCapacity> TextCapacityOf(std::string_view definition) {
  definition = Trimmed(definition);
  TextCapacity capacity;
  std::size_t skip = 0;
  for (const std::string_view type : {"varchar", "char", "nvarchar", "nchar"}) {
    if (StartsWithWord(definition, type)) {
      capacity.national = type.front() == 'n';
      skip = type.size();
    }
  }
  if (skip == 0) return std::nullopt;
  std::string_view rest = Trimmed(definition.substr(skip));
  // A type without a length holds one character.
  std::int64_t length = 1;
  if (!rest.empty() && rest.front() == '(') {
    const std::size_t close = rest.find(')');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view digits = Trimmed(rest.substr(1, close - 1));
    if (digits.empty() || digits.size() > 9) return std::nullopt;  // max, or no number
    length = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      length = length * 10 + (c - '0');
    }
  }
  capacity.bytes = capacity.national ? 2 * length : length;
  return capacity;
}

bool HasClause(std::string_view kind, std::string_view clause) {
  std::string upper(kind);
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  for (std::size_t at = upper.find(clause); at != std::string::npos;
       at = upper.find(clause, at + 1)) {
    const std::size_t end = at + clause.size();
    const bool before = at == 0 || upper[at - 1] == ' ' || upper[at - 1] == ')';
    const bool after = end >= upper.size() || upper[end] == ' ' || upper[end] == '(';
    if (before && after) return true;
  }
  return false;
}

std::optional<std::int64_t> CatalogRowCount(sql::SqlAccess& access, const std::string& table) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(sql::Format(
      "Select Sum(rows) From sys.partitions Where object_id=Object_ID(%s) and index_id In (0,1)",
      sql::UnicodeLiteral(table)));
  query.Open();
  if (query.Empty() || query.Field(0).IsNull()) return std::nullopt;
  const std::string digits = query.Field(0).AsString();
  try {
    return std::stoll(digits);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool GivesWay(const sql::SqlError& failure) {
  return failure.HasNativeError(kLockWaitRanOut) || failure.HasNativeError(kDeadlockVictim);
}

void InShortTransaction(sql::SqlConnection& connection, const std::function<void()>& work) {
  connection.StartTransaction();
  try {
    work();
  } catch (...) {
    try {
      connection.Rollback();
    } catch (const std::exception&) {
      // The failure that brought us here says more; the server rolls back
      // what a closed connection left open.
    }
    throw;
  }
  connection.Commit();
}

StatementRunner::StatementRunner(sql::SqlAccess& access)
    : access_(access), query_(access, sql::kSizeConnectionName) {}

void StatementRunner::Execute(std::string statement) {
  query_.SetText(std::move(statement));
  query_.Execute();
}

std::string DropFailureMeaning(const sql::SqlError& failure) {
  if (failure.HasNativeError(3726)) {
    return text::Tr(
        "a FOREIGN KEY constraint of another table refers to it; drop that constraint (or the "
        "other table's reference) first");
  }
  if (failure.HasNativeError(3729)) {
    return text::Tr(
        "another object refers to it (a FOREIGN KEY constraint, or a view or function created "
        "WITH SCHEMABINDING); drop or alter that object first");
  }
  if (failure.HasNativeError(3701) || failure.HasNativeError(229) || failure.HasNativeError(262) ||
      failure.HasNativeError(15151)) {
    return text::Tr(
        "the login may not drop it; grant it ALTER on schema dbo or CONTROL on the table");
  }
  return {};
}

void StatementRunner::ExecuteIgnoringFailure(std::string statement, const std::string& table) {
  query_.SetText(std::move(statement));
  std::optional<sql::SqlError> failure;
  if (query_.ExecuteIgnoringFailure(&failure) || !failure) return;
  StopUnlessGone(*failure, table);
}

// Asked only after a failed drop, so a drop that succeeds costs nothing more.
void StatementRunner::StopUnlessGone(const sql::SqlError& failure, const std::string& table) {
  const std::string drop = query_.Text();
  if (failure.HasNativeError(kLockWaitRanOut)) throw TableLockedOut(failure, table);
  sql::SqlQuery query(access_, sql::kSizeConnectionName);
  query.SetText(sql::Format("Select Object_ID(%s)", sql::UnicodeLiteral(table)));
  query.Open();
  if (query.Empty() || query.Field(0).IsNull()) return;  // gone: nothing stands in the way
  const std::string meaning = DropFailureMeaning(failure);
  throw failure.Prefixed(
      meaning.empty()
          ? text::TrFormat("'%s' failed and %s is still there; the server said: ", drop, table)
          : text::TrFormat("'%s' failed and %s is still there: %s; the server said: ", drop, table,
                           meaning));
}

void StatementRunner::ClearModifiedFlag(std::int32_t tableTag) {
  Execute(sql::Format("Update S_Modify Set Modified=0 Where TableTag=%d", tableTag));
}

}  // namespace slotsync::rebuild
