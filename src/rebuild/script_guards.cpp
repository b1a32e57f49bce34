#include "rebuild/script_guards.h"

#include "sql/statement_template.h"

namespace slotsync::rebuild {
namespace {

// "IsNull(Column,N'')=N'text'": the run reads a NULL as empty text.
std::string SameText(std::string_view column, const std::string& text) {
  return sql::Format("IsNull(%s,N'')=%s", column, UnicodeLiteral(text));
}

}  // namespace

std::string StopIf(std::string_view condition, std::string_view message, std::int32_t severity) {
  // RaisError does not end the transaction even under XACT_ABORT: the
  // rollback comes first, and NOEXEC keeps every later batch from running
  // in a client that carries on after an error.
  return sql::Format(
      "If %s Begin If @@TRANCOUNT>0 Rollback Transaction; RaisError('%s', %d, 1); Set NoExec On; "
      "End",
      condition, sql::RaisErrorText(message), severity);
}

std::string ChangedSincePlan(std::string_view what) {
  // The texts a script says when it stops are the script's own, in English
  // like the rest of it, whatever language the plan was written in.
  return sql::Format(
      "the database changed since the plan (written $(%s)): plan again; %s; "  // not a message
      "nothing was changed",                                                   // not a message
      kPlanWrittenVariable, what);
}

std::string AlreadyAppliedGuard(std::int32_t tableTag, const std::string& tableName) {
  return StopIf(
      sql::Format("Exists (Select * From S_Modify Where TableTag=%d and IsNull(Modified,0)=0)",
                  tableTag),
      sql::Format(
          "already applied: S_Modify no longer flags TableTag %d (%s), so this "  // not a message
          "script or a run has already rebuilt it; this run of the script "       // not a message
          "changed nothing",                                                      // not a message
          tableTag, tableName),
      10);
}

std::string SModifyRowGuard(std::int32_t tableTag, const SModifyRow& row, SModifyColumns columns) {
  std::string condition = sql::Format(
      "Not Exists (Select * From S_Modify With (UpdLock, HoldLock) Where TableTag=%d and "
      "CanCreateFlag=1 and Modified=1 and %s",
      tableTag, SameText("TableName", row.tableName));
  if (columns == SModifyColumns::kDetail) {
    condition += " and " + SameText("KeyField", row.keyField);
  }
  condition += " and " + SameText("CreateField", row.createField) + " and " +
               SameText("FieldKind", row.fieldKind);
  if (columns == SModifyColumns::kTerminal) {
    condition += " and " + SameText("FixedField", row.fixedField) + " and " +
                 SameText("FixedFieldKind", row.fixedFieldKind);
  }
  condition += ")";
  return StopIf(condition,
                ChangedSincePlan(sql::Format(
                    "the S_Modify row of TableTag %d is no longer the "  // not a message
                    "flagged row the plan read",                         // not a message
                    tableTag)));
}

std::string SlotCountGuard(std::int32_t tableTag, std::int32_t slotCount) {
  return StopIf(
      sql::Format("IsNull((Select Max(n) From (Select Count(*) As n From SizeGroup a,SizeGroupSize "
                  "b Where a.SizeGroupID=b.SizeGroupID Group by b.SizeGroupID) g),0)<>%d",
                  slotCount),
      ChangedSincePlan(
          sql::Format("TableTag %d: the size groups no longer need %d size slots",  // not a message
                      tableTag, slotCount)));
}

std::string ColumnsGuard(std::int32_t tableTag, const std::string& table,
                         const std::vector<std::string>& columns) {
  std::string names;
  for (const std::string& column : columns) {
    names += (names.empty() ? "" : ",") + UnicodeLiteral(column);
  }
  const std::string all = sql::Format("(Select Count(*) From sysColumns Where ID=Object_ID(%s))",
                                      UnicodeLiteral(table));
  // The same count among the names planned and among all: nothing added,
  // nothing dropped, nothing renamed.
  const std::string planned =
      columns.empty() ? std::string("0")
                      : sql::Format(
                            "(Select Count(*) From sysColumns Where ID=Object_ID(%s) and "
                            "Name In (%s))",
                            UnicodeLiteral(table), names);
  return StopIf(
      sql::Format("%s<>%d Or %s<>%d", all, static_cast<std::int32_t>(columns.size()), planned,
                  static_cast<std::int32_t>(columns.size())),
      ChangedSincePlan(sql::Format(
          "TableTag %d: the columns of %s are no longer those the plan saw",  // not a message
          tableTag, table)));
}

std::string TerminalTableGuard(std::int32_t tableTag, const std::string& table) {
  return StopIf(sql::Format("Object_ID(%s) Is Not Null and Col_Length(%s,'TerminalName') Is Null",
                            UnicodeLiteral(table), UnicodeLiteral(table)),
                ChangedSincePlan(sql::Format(
                    "TableTag %d: %s has no TerminalName column now, so it is no "  // not a message
                    "per-terminal work table",                                      // not a message
                    tableTag, table)));
}

std::string QuantitiesGuard(const std::string& table, const std::string& condition,
                            const std::string& refusal) {
  return "Declare @Rows int; Exec sp_executesql " +
         UnicodeLiteral(sql::Format("Select @Rows=Count(*) From %s Where %s", table, condition)) +
         ", N'@Rows int Output', @Rows=@Rows Output; " +  // not a message
         StopIf("@Rows>0", refusal);
}

std::string CopyCountGuard(const std::string& copy, const std::string& table) {
  return StopIf(sql::Format("(Select Count(*) From %s)<>(Select Count(*) From %s)", copy, table),
                sql::Format("not every row of %s was copied; nothing was changed",  // not a message
                            table));
}

std::string RunUserGuard(std::int32_t principalId) {
  return StopIf(
      sql::Format("IsNull(Database_Principal_ID(),0)<>%d", principalId),
      sql::Format(
          "this script gives back permissions and triggers as the database user "  // not a message
          "the plan was made by (principal_id %d), whom they name as grantor or "  // not a message
          "identity; run it as that user; nothing was changed",                    // not a message
          principalId));
}

std::string TransactionAliveGuard() {
  return StopIf("XACT_STATE()<>1",
                "a statement of this script failed and the server rolled the "  // not a message
                "whole transaction back; nothing was changed");                 // not a message
}

}  // namespace slotsync::rebuild
