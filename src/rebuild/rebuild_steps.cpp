#include "rebuild/rebuild_steps.h"

#include "sql/statement_template.h"
#include "text/gbk.h"

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

StatementRunner::StatementRunner(sql::SqlAccess& access)
    : query_(access, sql::kSizeConnectionName) {}

void StatementRunner::Execute(std::string statement) {
  query_.SetText(std::move(statement));
  query_.Execute();
}

void StatementRunner::ExecuteIgnoringFailure(std::string statement) {
  query_.SetText(std::move(statement));
  query_.ExecuteIgnoringFailure();
}

void StatementRunner::ClearModifiedFlag(std::int32_t tableTag) {
  Execute(sql::Format("Update S_Modify Set Modified=0 Where TableTag=%d", tableTag));
}

}  // namespace slotsync::rebuild
