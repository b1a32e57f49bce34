#include "rebuild/detail_table.h"

#include <algorithm>
#include <stdexcept>

#include "dictionary/dict_lookup.h"
#include "dictionary/dictionary_guard.h"
#include "dictionary/field_lists.h"
#include "dictionary/size_slot_count.h"
#include "rebuild/column_compare.h"
#include "rebuild/detail_plan.h"
#include "rebuild/detail_template.h"
#include "rebuild/findings.h"
#include "rebuild/online_detail.h"
#include "rebuild/rebuild_steps.h"
#include "rebuild/script_guards.h"
#include "sql/quoting.h"
#include "sql/statement_template.h"
#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::rebuild {

const char* const kSizeDecreaseNotice =
    "\xB3\xDF\xC2\xEB\xD7\xE9\xB0\xFC\xBA\xAC\xB3\xDF\xC2\xEB\xCA\xFD\xC1\xBF\xB1\xE4\xC9\xD9\xA3"
    "\xAC\xC5\xE4\xC2\xEB\xD0\xE8\xCF\xE0\xD3\xA6\xD0\xDE\xB8\xC4\x0D\xB2\xBB\xC4\xDC\xD7\xD4\xB6"
    "\xAF\xD0\xDE\xB8\xC4\xA3\xAC\xC7\xEB\xC1\xAA\xCF\xB5\xB9\xA9\xBB\xF5\xC9\xCC\xBD\xF8\xD0\xD0"
    "\xD0\xDE\xB8\xC4";

bool IsSlotColumnName(std::string_view name, std::int32_t* number) {
  if (name.size() < 3 || (name[0] != 'x' && name[0] != 'X') || name[1] != '_') return false;
  const std::string_view digits = name.substr(2);
  if (digits.size() > 9 || digits[0] < '1' || digits[0] > '9') return false;
  std::int32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (number != nullptr) *number = value;
  return true;
}

namespace {

using dictionary::CheckColumnName;
using dictionary::CheckColumnType;
using dictionary::CheckKeyList;
using dictionary::CheckTableName;

[[noreturn]] void Refuse(std::int32_t tableTag, const std::string& what) {
  throw std::runtime_error(text::TrFormat("TableTag %d: %s", tableTag, what));
}

class DetailRebuild {
 public:
  DetailRebuild(sql::SqlAccess& access, ui::NoticeBox& notices, std::int32_t tableTag,
                Findings* findings, const RowsCounted& rowsCounted, const RowsCounted& rowsCopied,
                const DependentsCarried& carried, OnlineRebuild* online)
      : access_(access),
        notices_(notices),
        tableTag_(tableTag),
        findings_(findings),
        rowsCounted_(rowsCounted),
        rowsCopied_(rowsCopied),
        statements_(access),
        carried_(carried),
        online_(online) {}

  bool Run() {
    ReadDictionaryRow();
    std::int32_t oldRows = 0;
    if (findings_ != nullptr) {
      if (!PlanOldTable()) return false;
    } else if (online_ == nullptr) {
      // The lock comes before the old table's columns are read: a column
      // added in between would be missing from the copy and lost with the
      // drop.
      oldRows = LockOldTableAndCountRows();
      if (rowsCounted_) rowsCounted_(oldRows);
    }
    ReadDependents();
    if (row_.found) {
      ReadStoredPartCount();
      ReadCopyColumns();
      RefuseEmptyColumnList();
    }
    ReadCarriedColumns();
    layout_.slotCount = dictionary::GetSizeSlotCount(access_);
    if (findings_ != nullptr && !PlanSlotCount()) return false;
    RecordStateGuards();
    ReadPresentSlots();
    // At the cut-over the check of the rows sums those columns instead.
    if (!CuttingOver()) RefuseToDropQuantities();
    if (findings_ != nullptr) {
      CheckNewDetailTable(access_, *findings_, tableTag_, row_.tableName, layout_, copyColumns_,
                          oldSlotColumns_);
    }
    CheckCopiedColumns();
    PlanCarries();
    if (online_ != nullptr && !CuttingOver()) {
      PrepareOnline();
      // A plan lists the cut-over's statements too, after the copy's.
      if (findings_ == nullptr) return true;
      RecordGuard(CutOverCheckQuery(CopyOfTable(), /*shadow=*/false));
      RecordGuard(CutOverCheckQuery(CopyOfTable(), /*shadow=*/true));
    }

    if (online_ != nullptr) {
      SwitchPreparedTable();
    } else {
      BuildNewTables(0);
      CopyRows(oldRows);
      ReplaceOldTable(/*addPrimaryKey=*/true);
    }
    const bool hasVersionNo = ParameterHasVersionNo();
    // Online, the copy and the capture have already grown the size texts.
    const bool sizeTextsDone = online_ != nullptr || UpdateSizeTexts();
    if (sizeTextsDone && hasVersionNo) {
      statements_.Execute(sql::Format("Exec CreateInvoiceDetailTrigger %d", tableTag_));
      if (findings_ != nullptr) findings_->Current().triggerCalled = true;
    }
    // Where the trigger procedure runs or would have run: the new tables
    // stand, stopped at the notice or not, and must not stay bare.
    // What the copied columns lose is said with what the carries lose.
    // Online, the indexes built on the copy before the cut-over count too.
    const Carry early = online_ != nullptr ? EarlyCarry(row_.tableName, early_, shape_) : Carry{};
    const DependentsCarried withColumns = [this, &early](const CarriedCounts& counts,
                                                         const std::vector<std::string>& lost) {
      std::vector<std::string> all = columnsLost_;
      all.insert(all.end(), early.lost.begin(), early.lost.end());
      all.insert(all.end(), lost.begin(), lost.end());
      CarriedCounts total = counts;
      total += early.counts;
      carried_(total, all);
    };
    CarryDependents(access_, carries_, carried_ ? withColumns : carried_);
    if (!sizeTextsDone) return false;
    statements_.ClearModifiedFlag(tableTag_);
    return true;
  }

 private:
  // Planning: what the old table holds, from the catalog instead of a locked
  // count. A table that is not there ends its plan.
  bool PlanOldTable() {
    TablePlan& plan = findings_->Current();
    plan.kind = TableKind::kDetail;
    plan.tableName = row_.tableName;
    if (!row_.found || row_.tableName.empty()) {
      Flag(findings_, tableTag_,
           row_.found
               ? text::Tr("S_Modify.TableName is empty; fill in the name of the detail table")
               : text::TrFormat("S_Modify has no row for TableTag %d; add it or clear the flag",
                                tableTag_));
      return false;
    }
    plan.rows = CatalogRowCount(access_, row_.tableName);
    if (!plan.rows) {
      Flag(findings_, tableTag_,
           text::TrFormat("the detail table %s (S_Modify.TableName) does not exist; correct the "
                          "name or clear the table's flag",
                          row_.tableName));
      return false;
    }
    for (const char* suffix : {"_U", "_I", "_D"}) {
      const std::string companion = row_.tableName + suffix;
      plan.emptied.emplace_back(companion, CatalogRowCount(access_, companion));
    }
    // In a script the count is taken under the same lock the run takes.
    RecordGuard(sql::Format("Select Count(*) From %s With (TabLockX, HoldLock)", row_.tableName));
    return true;
  }

  bool PlanSlotCount() {
    findings_->Current().slotsAfter = layout_.slotCount;
    if (layout_.slotCount <= kMaxColumnsPerTable) return true;
    Flag(findings_, tableTag_,
         text::TrFormat("%s would need %d size columns, more than the %d columns a table can have",
                        row_.tableName, layout_.slotCount, kMaxColumnsPerTable));
    return false;
  }

  // In a script, under the table lock and before the table's first write:
  // the database is still the one planned, or the script stops.
  void RecordStateGuards() {
    if (sql::PlanOf(access_) == nullptr) return;
    std::vector<std::string> columns = copyColumns_;
    for (const auto& slot : oldSlotColumns_) columns.push_back(slot.first);
    RecordGuard(AlreadyAppliedGuard(tableTag_, row_.tableName));
    RecordGuard(SModifyRowGuard(tableTag_, row_, SModifyColumns::kDetail));
    RecordGuard(SlotCountGuard(tableTag_, layout_.slotCount));
    RecordGuard(ColumnsGuard(tableTag_, row_.tableName, columns));
    for (const TableDependents& dependents : dependents_) {
      RecordGuard(DependentsGuard(tableTag_, dependents));
    }
  }

  void RecordGuard(std::string text) {
    if (sql::WritePlan* plan = sql::PlanOf(access_)) {
      plan->Record(std::move(text), sql::PlannedStatement::Kind::kGuard);
    }
  }

  // Before any write: what each copied column is now and will be
  // (rebuild/column_compare.h). Read under the table lock when the run
  // executes, so its refusals stand for the rows the copy will read.
  void CheckCopiedColumns() {
    if (!row_.found) return;
    std::vector<std::string> copied = copyColumns_;
    for (std::int32_t i = 1; i <= presentSlots_; ++i) copied.push_back(sql::Format("x_%d", i));
    const std::string filled =
        sql::Format(BuildDetailTemplate(layout_), row_.tableName, SecondPlaceholderText(tableTag_));
    columnsLost_ = CheckColumnProperties(access_, findings_, tableTag_, row_.tableName,
                                         layout_.keyList, copied, ColumnsOf(filled));
  }

  std::string TemporaryName() const { return "dbo.Tmp_" + row_.tableName; }

  // What the old table and its companions hold beyond their columns, read
  // under the table lock (before the transaction, when planning).
  void ReadDependents() {
    for (const char* suffix : {"", "_U", "_I", "_D"}) {
      dependents_.push_back(ReadTableDependents(access_, row_.tableName + suffix));
    }
    if (online_ != nullptr) {
      early_ = LeaveWhatTheCutOverFinds(dependents_.front(), tableTag_);
    } else if (const auto note = LeftoverCaptureNote(dependents_.front()); note && findings_) {
      Flag(findings_, tableTag_, *note, Severity::kNote);
    }
  }

  bool CuttingOver() const { return online_ != nullptr && online_->phase == OnlinePhase::kCutOver; }

  // What the online copy and its capture read and write.
  OnlineCopy CopyOfTable() const {
    OnlineCopy copy;
    copy.table = row_.tableName;
    copy.key = layout_.keyList;
    copy.columns = copyColumns_;
    for (std::int32_t i = 1; i <= presentSlots_; ++i) {
      copy.slots.push_back(sql::Format("x_%d", i));
      copy.columns.push_back(copy.slots.back());
    }
    for (const auto& [name, slot] : oldSlotColumns_) {
      if (slot > layout_.slotCount) copy.dropped.push_back(name);
    }
    if (storedParts_ > 0) {
      for (std::int32_t i = storedParts_; i < layout_.slotCount; ++i)
        copy.sizeTextExtension += ".0";
    }
    return copy;
  }

  // Outside the run's transaction: the new table, the carried indexes on it
  // while it is empty, and the capture in one short transaction of their
  // own, so that all stand or none; then the copy.
  bool PrepareOnline() {
    if (storedParts_ > layout_.slotCount) {
      Refuse(tableTag_, text::TrFormat("the size texts of %s have %d parts but the size groups now "
                                       "need %d, which an online run cannot leave as they are; "
                                       "run without --online",
                                       row_.tableName, storedParts_, layout_.slotCount));
    }
    if (findings_ != nullptr) {
      FlagCarries(findings_, tableTag_, {EarlyCarry(row_.tableName, early_, shape_)});
    }
    PrepareTable(access_, *online_, {tableTag_, CopyOfTable(), false, -1, {}}, early_, shape_,
                 [this] {
                   BuildTable(TemporaryName());
                   AddPrimaryKey(TemporaryName());
                 });
    return true;
  }

  // Inside the cut-over, with the table locked and its rows checked: the
  // capture goes, the companions are recreated, the new table takes the
  // old one's name with the key it was built with, its constraints theirs.
  void SwitchPreparedTable() {
    const PreparedTable* prepared = online_->Find(tableTag_);
    const OnlineCopy copy = CopyOfTable();
    // An index or constraint made on the old table meanwhile would be
    // missing from the copy, one dropped would come back.
    if (prepared == nullptr || prepared->copy.columns != copy.columns ||
        prepared->copy.sizeTextExtension != copy.sizeTextExtension ||
        prepared->early != EarlyStatements(row_.tableName, early_, shape_)) {
      Refuse(tableTag_, text::TrFormat("%s or the size groups changed while the online run copied "
                                       "it; nothing was changed; run again",
                                       row_.tableName));
    }
    if (rowsCounted_) rowsCounted_(prepared->rows);
    if (rowsCopied_) rowsCopied_(prepared->rows);
    statements_.Execute(DropCaptureStatement(row_.tableName));
    BuildNewTables(1);
    ReplaceOldTable(/*addPrimaryKey=*/false);
    for (std::string& statement : EarlyConstraintSwitch(row_.tableName, early_, shape_)) {
      statements_.Execute(std::move(statement));
    }
  }

  // Decides, before anything changes, what goes over to the new tables;
  // what cannot is refused here.
  void PlanCarries() {
    const std::string filled =
        sql::Format(BuildDetailTemplate(layout_), row_.tableName, SecondPlaceholderText(tableTag_));
    // The primary key comes after the rename, on a table without an index,
    // so it takes the clustered index.
    shape_ = NewTableShape{ColumnsOf(filled), {}, /*clusteredPrimaryKey=*/true};
    for (std::size_t i = 0; i < dependents_.size(); ++i) {
      carries_.push_back(
          PlanCarry(dependents_[i], shape_,
                    i == 0 ? CarryScope::kEverything : CarryScope::kPermissionsAndIndexes));
    }
    FlagCarries(findings_, tableTag_, carries_);
  }

  void ReadDictionaryRow() {
    row_ = ReadSModifyRow(access_, tableTag_, SModifyColumns::kDetail);
    // A table refused for its dictionary is still named, as S_Modify names it.
    if (findings_ != nullptr) {
      findings_->Current().kind = TableKind::kDetail;
      findings_->Current().tableName = row_.tableName;
    }
    dictionary::CheckOnePartTableName(tableTag_, "S_Modify.TableName", row_.tableName);
    layout_.tableTag = tableTag_;
    layout_.keyList = dictionary::BuildKeyList(row_.keyField);
    // Several key items would make the key column definition
    // "A,B Varchar(40) ...", which no server accepts; say so plainly.
    if (layout_.keyList.find(',') != std::string::npos) {
      Refuse(tableTag_, text::TrFormat("S_Modify.KeyField '%s' names several key columns; a "
                                       "detail table has one key column",
                                       row_.keyField));
    }
    CheckKeyList(tableTag_, "S_Modify.KeyField", layout_.keyList);
    layout_.values = dictionary::PairItems(row_.createField, row_.fieldKind);
    for (const auto& value : layout_.values) {
      CheckColumnName(tableTag_, "S_Modify.CreateField", value.name);
      if (value.name != "BoxQty") CheckColumnType(tableTag_, "S_Modify.FieldKind", value.kind);
    }
  }

  // P: how many "."-separated parts one stored size text has.
  void ReadStoredPartCount() {
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    query.SetText(sql::Format(
        "Select Name from sysColumns Where ID=Object_ID('%s') and Name='SizeStr'", row_.tableName));
    query.Open();
    if (query.Empty()) return;
    query.SetText(sql::Format(
        "Select Top 1 SizeStr From %s Where SizeStr is Not null and SizeStr<>''", row_.tableName));
    query.Open();
    if (query.Empty()) return;
    const std::string sizeText = query.Field(0).AsString();
    storedParts_ = 1 + static_cast<std::int32_t>(std::count(sizeText.begin(), sizeText.end(), '.'));
  }

  void ReadCopyColumns() {
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    query.SetText(sql::Format(
        "Select Name from sysColumns Where ID=Object_ID('%s') and Name Not Like 'x_%%' order by "
        "ColOrder",
        row_.tableName));
    query.Open();
    for (; !query.End(); query.Next()) AddCopyColumn(query.Field(0).AsString());
    // The pattern above also leaves out names such as xRate or x1, which
    // are no slot columns: their values would be lost. Read the names it
    // left out and keep every one that is not a slot column; the slot
    // columns above N are checked for quantities before anything changes.
    query.SetText(sql::Format(
        "Select Name from sysColumns Where ID=Object_ID('%s') and Name Like 'x_%%' order by "
        "ColOrder",
        row_.tableName));
    query.Open();
    for (; !query.End(); query.Next()) {
      const std::string name = query.Field(0).AsString();
      std::int32_t slot = 0;
      if (!IsSlotColumnName(name, &slot)) {
        AddCopyColumn(name);
      } else {
        oldSlotColumns_.push_back({name, slot});
      }
    }
  }

  // The catalog shows no column of a table it does not have or whose
  // definition the login may not see; the copy would then be
  // "Insert into dbo.Tmp_T() Select  from T", which copies nothing.
  void RefuseEmptyColumnList() {
    if (!copyColumns_.empty() || !oldSlotColumns_.empty()) return;
    Refuse(tableTag_,
           text::TrFormat("the catalog lists no column of %s (S_Modify.TableName): the table does "
                          "not exist, or the login may not see its definition; correct the name or "
                          "grant the login VIEW DEFINITION on it",
                          row_.tableName));
  }

  void AddCopyColumn(const std::string& name) {
    CheckColumnName(tableTag_, text::TrFormat("the columns of %s", row_.tableName), name);
    if (!copyList_.empty()) copyList_ += ',';
    copyList_ += name;
    copyColumns_.push_back(name);
  }

  void ReadCarriedColumns() {
    const std::string dictionaryTable = dictionary::GetDictTableName(access_, tableTag_);
    CheckTableName(tableTag_, "DataDictionary.TableName", dictionaryTable);
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    query.SetText(sql::Format("Select * From S_Modify Where TableTag=%d", tableTag_));
    query.Open();
    const std::int32_t fieldFrom = query.FieldByName("FieldFrom").AsInteger();
    query.SetText(sql::Format("Select  *  From %s Where 1=0 ", dictionaryTable));
    query.Open();
    // When the dictionary table starts with the key column, its first two
    // columns are skipped.
    std::size_t offset = 0;
    for (std::size_t i = 0; i < query.FieldCount(); ++i) {
      if (text::EqualsIgnoringAsciiCase(query.Field(i).Name(), layout_.keyList)) offset = 2;
    }
    for (std::int32_t i = 0; i < fieldFrom; ++i) {
      const std::string& name = query.Field(offset + static_cast<std::size_t>(i)).Name();
      CheckColumnName(tableTag_, text::TrFormat("the columns of %s", dictionaryTable), name);
      layout_.carriedColumns.push_back(name);
    }
  }

  // M: the highest slot column the old table has, up to N; x_1..x_M are copied.
  void ReadPresentSlots() {
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    std::int32_t present = 0;
    for (std::int32_t k = layout_.slotCount; k >= 1 && present == 0; --k) {
      query.SetText(
          sql::Format("Select Name from sysColumns Where ID=Object_ID('%s') and Name='x_%d'",
                      row_.tableName, k));
      query.Open();
      if (!query.Empty()) present = k;
    }
    for (std::int32_t i = 1; i <= present; ++i) copyList_ += sql::Format(",x_%d", i);
    presentSlots_ = present;
  }

  // Under read committed another terminal could insert into the old table
  // after the copy has read it; those rows would vanish with the drop. The
  // lock keeps everyone out until the run's transaction ends.
  std::int32_t LockOldTableAndCountRows() {
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    query.SetText(sql::Format("Select Count(*) From %s With (TabLockX, HoldLock)", row_.tableName));
    query.Open();
    return query.Field(0).AsInteger();
  }

  // Slot columns above N are not copied. When any row holds a quantity in
  // one of them, stop before anything changes rather than lose it.
  void RefuseToDropQuantities() {
    std::string condition;
    std::string names;
    for (const auto& [name, slot] : oldSlotColumns_) {
      if (slot <= layout_.slotCount) continue;
      if (!condition.empty()) condition += " Or ";
      condition += name + "<>0";
      if (!names.empty()) names += ", ";
      names += name;
    }
    if (condition.empty()) return;
    const std::string count =
        sql::Format("Select Count(*) From %s Where %s", row_.tableName, condition);
    // The script's check says it in English, as every text of the script
    // does; the run's refusal speaks the reader's language.
    const char* const kRefusal =
        N_("%s holds quantities in %s, above the %d size slots the size groups need now; nothing "
           "was changed so that none is lost");
    RecordGuard(QuantitiesGuard(row_.tableName, condition,
                                text::Format(kRefusal, row_.tableName, names, layout_.slotCount)));
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    query.SetText(count);
    query.Open();
    if (query.Field(0).AsInteger() == 0) return;
    if (findings_ != nullptr) {
      Flag(findings_, tableTag_,
           text::TrPlural("%s: %d row holds quantities in %s, above the %d size slots the size "
                          "groups need now; move them to lower slots or add sizes back to the "
                          "size groups",
                          "%s: %d rows hold quantities in %s, above the %d size slots the size "
                          "groups need now; move them to lower slots or add sizes back to the "
                          "size groups",
                          query.Field(0).AsInteger(), row_.tableName, query.Field(0).AsInteger(),
                          names, layout_.slotCount),
           Severity::kRefusal, /*quantitiesAboveN=*/true);
      return;
    }
    // The notice waits until the run has rolled back: shown now, it would
    // keep this table locked, and every table rebuilt before it, for as
    // long as nobody answers it.
    throw QuantitiesAboveN(
        text::TrFormat("TableTag %d: %s", tableTag_,
                       text::TrFormat(kRefusal, row_.tableName, names, layout_.slotCount)));
  }

  // The work copy, then the companions, from `first` on.
  void BuildNewTables(std::size_t first) {
    const std::string names[] = {TemporaryName(), row_.tableName + "_U", row_.tableName + "_I",
                                 row_.tableName + "_D"};
    for (std::size_t i = first; i < std::size(names); ++i) {
      BuildTable(names[i]);
      if (i > 0) AddPrimaryKey(names[i]);
    }
  }

  void BuildTable(const std::string& name) {
    statements_.ExecuteIgnoringFailure(
        sql::Format(
            // not a message
            "if exists (select * from dbo.sysobjects where id = object_id(N'%s') ) Drop Table %s",
            name, name),
        name);
    statements_.Execute(
        sql::Format(BuildDetailTemplate(layout_), name, SecondPlaceholderText(tableTag_)));
  }

  void AddPrimaryKey(const std::string& table) {
    statements_.Execute(sql::Format("Alter Table %s Add Primary Key (%s)", table, layout_.keyList));
  }

  void CopyRows(std::int32_t oldRows) {
    statements_.Execute(sql::Format("Insert into %s(%s) Select %s from %s ", TemporaryName(),
                                    copyList_, copyList_, row_.tableName));
    RecordGuard(CopyCountGuard(TemporaryName(), row_.tableName));
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    query.SetText(sql::Format("Select Count(*) From %s", TemporaryName()));
    query.Open();
    // A plan cannot count what its copy would have copied.
    if (query.AnswerUnknown()) return;
    const std::int32_t copied = query.Field(0).AsInteger();
    if (rowsCopied_) rowsCopied_(copied);
    if (copied != oldRows) {
      Refuse(tableTag_,
             text::TrPlural("%d row of %s was copied, but it held %d; nothing was changed",
                            "%d rows of %s were copied, but it held %d; nothing was changed",
                            copied, copied, row_.tableName, oldRows));
    }
  }

  void ReplaceOldTable(bool addPrimaryKey) {
    statements_.ExecuteIgnoringFailure(sql::Format("Drop Table %s", row_.tableName),
                                       row_.tableName);
    statements_.Execute(sql::Format("sp_rename '%s', '%s'", TemporaryName(), row_.tableName));
    if (addPrimaryKey) AddPrimaryKey(row_.tableName);
  }

  bool ParameterHasVersionNo() {
    sql::SqlQuery query(access_, sql::kSizeConnectionName);
    query.SetText("Select * from syscolumns where name='VersionNo' and id=object_id('Parameter')");
    query.Open();
    return !query.Empty();
  }

  // Extends every stored size text by the parts of the new slots; a fallen
  // count cannot be mended here and is shown to the user.
  bool UpdateSizeTexts() {
    if (storedParts_ <= 0) return true;
    if (layout_.slotCount > storedParts_) {
      std::string extension;
      for (std::int32_t i = storedParts_; i < layout_.slotCount; ++i) extension += ".0";
      statements_.Execute(sql::Format(
          "Update %s Set SizeStr=SizeStr+'%s' Where SizeStr is Not Null and SizeStr<>''",
          row_.tableName, extension));
      if (findings_ != nullptr) findings_->Current().sizeTextsUpdated = true;
    } else if (layout_.slotCount < storedParts_) {
      if (findings_ != nullptr) {
        Flag(findings_, tableTag_,
             text::TrFormat("the size texts of %s have %d parts but the size groups now need "
                            "%d: the run shows the size-decrease notice, leaves the size texts "
                            "and the trigger as they are and keeps the table flagged; correct "
                            "the size texts by hand",
                            row_.tableName, storedParts_, layout_.slotCount),
             Severity::kNotice);
        return false;
      }
      notices_.ShowNotice(kSizeDecreaseNotice, ui::kNoticeInformation);
      return false;
    }
    return true;
  }

  sql::SqlAccess& access_;
  ui::NoticeBox& notices_;
  const std::int32_t tableTag_;
  Findings* findings_;  // set when planning
  const RowsCounted& rowsCounted_;
  const RowsCounted& rowsCopied_;
  StatementRunner statements_;
  SModifyRow row_;
  DetailLayout layout_;
  std::int32_t storedParts_ = 0;          // P
  std::int32_t presentSlots_ = 0;         // M
  std::vector<std::string> columnsLost_;  // properties of copied columns the new ones lack
  std::string copyList_;
  std::vector<std::string> copyColumns_;  // the names in copyList_ but the slot columns
  std::vector<std::pair<std::string, std::int32_t>> oldSlotColumns_;
  std::vector<TableDependents> dependents_;  // the old table, then _U, _I, _D
  std::vector<Carry> carries_;
  NewTableShape shape_;
  EarlyWork early_;  // online: built on dbo.Tmp_<name> before the copy
  const DependentsCarried& carried_;
  OnlineRebuild* online_;  // set in an online run
};

}  // namespace

bool RebuildDetailTable(sql::SqlAccess& access, ui::NoticeBox& notices, std::int32_t tableTag,
                        Findings* findings, const RowsCounted& rowsCounted,
                        const RowsCounted& rowsCopied, const DependentsCarried& carried,
                        OnlineRebuild* online) {
  // These two TableTags are flagged in some databases but are not rebuilt.
  if (IsSkippedByDesign(tableTag)) return false;
  return DetailRebuild(access, notices, tableTag, findings, rowsCounted, rowsCopied, carried,
                       online)
      .Run();
}

}  // namespace slotsync::rebuild
