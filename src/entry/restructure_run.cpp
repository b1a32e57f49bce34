#include "entry/restructure_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "dictionary/size_slot_count.h"
#include "entry/key_moves.h"
#include "entry/online_run.h"
#include "entry/opening_hours.h"
#include "entry/preconditions.h"
#include "entry/run_cancel.h"
#include "entry/session_settings.h"
#include "entry/settle_tables.h"
#include "entry/space_check.h"
#include "entry/table_rights.h"
#include "rebuild/detail_table.h"
#include "rebuild/rebuild_steps.h"
#include "sql/sql_error.h"
#include "sql/statement_template.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

// The one run a process may have in progress: the connection name is fixed
// and the rebuilders bind to it.
std::atomic<bool> runInProgress{false};

class RunGuard {
 public:
  RunGuard() : entered_(!runInProgress.exchange(true)) {}
  ~RunGuard() {
    if (entered_) runInProgress.store(false);
  }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;
  bool Entered() const { return entered_; }

 private:
  bool entered_;
};

std::string MessageOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return text::Tr("unknown failure");
  }
}

// How much of the message is the table's prefix, "TableTag 27: ", which the
// rebuilders put before what they throw; 0 when it has none. A Chinese
// message may close the prefix with the full-width colon instead.
std::size_t TablePrefixSize(std::string_view message, std::int32_t tableTag) {
  const std::string name = sql::Format("TableTag %d", tableTag);
  if (!message.starts_with(name)) return 0;
  for (const std::string_view colon : {std::string_view(": "), std::string_view("\xA3\xBA")}) {
    if (message.substr(name.size()).starts_with(colon)) return name.size() + colon.size();
  }
  return 0;
}

bool LoginFailed(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const sql::SqlError& e) {
    return e.SqlState() == "28000" || e.HasNativeError(18456);
  } catch (...) {
    return false;
  }
}

bool ConnectionLost(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const sql::SqlError& e) {
    return e.ConnectionLost();
  } catch (...) {
    return false;
  }
}

class Run {
 public:
  Run(const RunDependencies& deps, sql::SqlAccess& access, sql::SqlConnection& connection,
      sql::SqlQuery& query, ui::ProgressView& window, RunReport& report)
      : deps_(deps),
        access_(access),
        connection_(connection),
        query_(query),
        window_(window),
        report_(report),
        databaseLock_(access) {}

  // Failures before the transaction leave as exceptions; everything after
  // StartTransaction is settled here and recorded in the report.
  void Go() {
    try {
      Steps();
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      // Before the transaction: the database lock goes back at once, not
      // when the connection is closed.
      databaseLock_.Release();
      // The check before the transaction reads the tables too, so a busy
      // table most often stops the run there.
      if (IsLockTimeout(failure)) {
        throw LockedOut(MessageOf(failure) + "\n" +
                        HeldBy(lockedTable_.empty() ? WaitedFor(failure) : lockedTable_));
      }
      if (IsDeadlock(failure)) {
        throw LockedOut(MessageOf(failure) + "\n" + text::Tr(kDeadlockVictimText), true);
      }
      throw;
    }
  }

 private:
  void Steps() {
    if (deps_.online.cleanUpOnly) {
      CleanUpOnly();
      return;
    }
    if (!SizeTableHasRows()) {
      report_.outcome = Outcome::kInStep;
      return;
    }
    report_.slotCount = dictionary::GetSizeSlotCount(access_);
    report_.slotColumns = CountSlotColumns();
    report_.slotsCounted = true;
    if (report_.slotCount == report_.slotColumns) {
      report_.outcome = Outcome::kInStep;
      return;
    }
    if (!deps_.plan && !LockDatabaseAndRecheck()) return;
    SelectFlaggedRows();
    const bool anyFlagged = !query_.Empty();
    if (deps_.plan) {
      Plan(anyFlagged);
      return;
    }
    const bool online = deps_.online.enabled && anyFlagged;
    if (online) {
      // Everything online waits at most as long as a till may be held.
      SetLockTimeout(access_, deps_.online.cutoverTimeoutSeconds);
      RemoveLeftovers(access_, report_);
    }
    if (anyFlagged) {
      CheckPreconditions(access_, report_.slotCount, AnyDetailTableFlagged(),
                         deps_.requireEncryption);
      Preflight();
      ShowWindow();
      ApplyWriteSettings(access_);
      // Online, the keys come off only once the copies are made.
      if (!online) TakeKeysOffBeforeTransaction();
    }
    if (online) {
      RunOnline();
    } else {
      connection_.StartTransaction();
      WalkInTransaction();
    }
    SettleKeys(access_, report_, keysOff_, deps_.pauseBeforeRetry);
    if (const std::string failed = databaseLock_.Release(); !failed.empty()) {
      AppendMessage(report_, text::TrFormat("warning: %s", failed));
    }
    if (anyFlagged) DisconnectAndHandleMessages();
  }

  // Two hosts starting together must not both rebuild the same tables, one
  // after the other or in a deadlock: one run at a time holds the database,
  // and a run that waited finds out whether the other one has already done
  // the work.
  bool LockDatabaseAndRecheck() {
    // Waiting without end (--lock-timeout 0) still gives way in a deadlock.
    if (deps_.lockTimeoutSeconds > 0) SetLockTimeout(access_, deps_.lockTimeoutSeconds);
    LowerDeadlockPriority(access_);
    databaseLock_.Take(DatabaseLockSeconds(deps_.lockTimeoutSeconds), deps_.onLockWait);
    report_.slotCount = dictionary::GetSizeSlotCount(access_);
    report_.slotColumns = CountSlotColumns();
    if (report_.slotCount != report_.slotColumns) return true;
    if (const std::string failed = databaseLock_.Release(); !failed.empty()) {
      AppendMessage(report_, text::TrFormat("warning: %s", failed));
    }
    report_.outcome = Outcome::kInStep;
    return false;
  }
  // The copies are made before the transaction; the walk is the cut-over.
  void RunOnline() {
    const auto rebuilders = deps_.makeRebuilders(access_, *deps_.notices);
    entry::RunOnline(access_, query_, *rebuilders, deps_.online, report_,
                     [this](rebuild::OnlineRebuild* online) {
                       if (!keysOff_) TakeKeysOffBeforeTransaction();
                       online_ = online;
                       connection_.StartTransaction();
                       WalkInTransaction();
                       online_ = nullptr;
                     });
  }

  // A dry run keeps the keys where they are: it commits nothing, not even
  // this.
  void TakeKeysOffBeforeTransaction() {
    if (deps_.dryRun) return;
    TakeKeysOff(access_, connection_, KeysToMove(report_.findings.Tables()));
    keysOff_ = true;
  }

  // --online --clean-up: under the database's lock, so that no online run
  // in progress loses its new tables.
  void CleanUpOnly() {
    SetLockTimeout(access_, deps_.online.cutoverTimeoutSeconds);
    LowerDeadlockPriority(access_);
    databaseLock_.Take(DatabaseLockSeconds(deps_.lockTimeoutSeconds), deps_.onLockWait);
    RemoveLeftovers(access_, report_);
    report_.outcome = report_.message.empty() ? Outcome::kInStep : Outcome::kCommitted;
    if (const std::string failed = databaseLock_.Release(); !failed.empty()) {
      AppendMessage(report_, text::TrFormat("warning: %s", failed));
    }
  }

  bool SizeTableHasRows() {
    query_.SetText("Select top 1 * From Size");
    query_.OpenByPosition();  // connects
    return !query_.Empty();
  }

  std::int32_t CountSlotColumns() {
    // Sent as it stands: the server gets "x_%%", which matches what "x_%" does.
    query_.SetText(
        "Select Count(*) from sysColumns Where ID=Object_ID('StockDetailTemp') and Name like "
        "'x_%%'");
    try {
      query_.OpenByPosition();
    } catch (const sql::SqlError& failure) {
      ExplainByCollation(failure);
      throw;
    }
    return query_.Field(0).AsInteger();
  }

  // A database that tells names apart by case fails the catalog's mixed-case
  // names ("sysColumns") here, with a message that does not say why. Only on
  // this failure is the collation read, to say so; the in-step path stays
  // its three statements.
  void ExplainByCollation(const sql::SqlError& failure) {
    if (failure.ConnectionLost()) return;
    std::string collation;
    try {
      sql::SqlQuery query(access_, sql::kSizeConnectionName);
      query.SetText(std::string(kCollationSql));
      query.Open();
      if (!query.Empty()) collation = query.Field(0).AsString();
    } catch (const std::exception&) {
      return;  // the original failure says what there is to say
    }
    if (collation.empty() || IsCaseInsensitiveCollation(collation)) return;
    throw PreconditionFailed({text::TrFormat(
        "%s (the server said: %s)", CaseSensitiveCollationProblem(collation), failure.what())});
  }

  void SelectFlaggedRows() {
    query_.SetText("Select * From S_Modify Where CanCreateFlag=1 and Modified=1 ");
    query_.Open();
    report_.flaggedRows = static_cast<std::int32_t>(query_.RowCount());
    report_.flaggedRead = true;
  }

  // Reads the flagged rows without moving the walk: a row whose TableTag
  // cannot be read is left for the walk, which fails on it in its place.
  bool AnyDetailTableFlagged() {
    bool any = false;
    for (; !query_.End(); query_.Next()) {
      const auto tag = query_.FindField("TableTag");
      if (!tag) break;
      try {
        const std::int32_t tableTag = tag->AsInteger();
        any = any || (IsDetailTableTag(tableTag) && tableTag != 27 && tableTag != 35);
      } catch (const sql::SqlError&) {
        continue;  // not a number: the walk fails on this row in its turn
      }
    }
    query_.First();
    return any;
  }

  // The plan: the walk with every write recorded instead of sent, each
  // table's problems found and passed over, nothing locked.
  void Plan(bool anyFlagged) {
    rebuild::Findings& findings = report_.findings;
    if (anyFlagged) {
      std::string server;
      try {
        CheckPreconditions(access_, report_.slotCount, AnyDetailTableFlagged(),
                           deps_.requireEncryption, &server);
      } catch (const PreconditionFailed& failed) {
        for (const std::string& problem : failed.Problems()) findings.Add({0, {}, problem});
      }
      if (!server.empty()) {
        findings.Add({0, rebuild::Severity::kNote, text::TrFormat("server: %s", server)});
      }
    }
    PlanWalk(findings, /*reportStatements=*/true);
    CheckRightsAndSpace(findings);
    if (deps_.online.enabled) PlanOnline(access_, deps_.online, findings);
    const bool refused = findings.Count(rebuild::Severity::kRefusal) > 0;
    report_.outcome = refused ? Outcome::kPlanRefused : Outcome::kPlanned;
    if (refused) report_.message = ProblemList(findings);
  }

  // Every run checks what a plan finds before its transaction begins: a
  // refusal found there stops the run with nothing locked and every problem
  // named. The checks inside the transaction stay, for what changes in
  // between.
  void Preflight() {
    rebuild::Findings& findings = report_.findings;
    if (deps_.onChecking) {
      long long tables = 0;
      for (; !query_.End(); query_.Next()) ++tables;
      query_.First();
      deps_.onChecking(text::TrPlural("checking %d table: rights, room, dependents",
                                      "checking %d tables: rights, room, dependents", tables,
                                      tables));
    }
    PlanWalk(findings, /*reportStatements=*/false);
    CheckRightsAndSpace(findings);
    if (findings.Count(rebuild::Severity::kRefusal) == 0) return;
    const bool quantities =
        std::any_of(findings.Problems().begin(), findings.Problems().end(),
                    [](const rebuild::Problem& p) { return p.quantitiesAboveN; });
    // Shown once, and only now that nothing is locked.
    if (quantities) deps_.notices->ShowNotice(rebuild::kSizeDecreaseNotice, ui::kNoticeInformation);
    throw std::runtime_error(ProblemList(findings));
  }

  // What the server must offer each flagged table, now that the walk knows
  // them: the rights the run uses on it, and room for its copy; and what
  // the run will stop meanwhile, as notes.
  void CheckRightsAndSpace(rebuild::Findings& findings) {
    for (rebuild::Problem& problem : MissingTableRights(access_, findings.Tables())) {
      findings.Add(std::move(problem));
    }
    for (rebuild::Problem& note : OpeningHoursNotes(access_, findings.Tables())) {
      findings.Add(std::move(note));
    }
    SpaceCheck space = CheckSpace(access_, findings.Tables());
    for (rebuild::Problem& problem : space.problems) findings.Add(std::move(problem));
    if (space.warning.empty()) return;
    if (deps_.plan) {
      findings.Add({0, rebuild::Severity::kNote, text::TrFormat("warning: %s", space.warning)});
    } else {
      AppendMessage(report_, text::TrFormat("warning: %s", space.warning));
    }
  }

  void PlanWalk(rebuild::Findings& findings, bool reportStatements) {
    sql::WritePlan plan;
    connection_.SetPlan(&plan);
    // An online run is planned as it runs: its copy, then its cut-over.
    rebuild::OnlineRebuild online;
    online.batchRows = deps_.online.batchRows;
    try {
      auto rebuilders = deps_.makeRebuilders(access_, *deps_.notices);
      rebuilders->PlanInto(&findings);
      if (deps_.online.enabled) rebuilders->GoOnline(&online);
      for (; !query_.End(); query_.Next()) PlanTable(*rebuilders, findings, plan, reportStatements);
    } catch (...) {
      connection_.SetPlan(nullptr);
      throw;
    }
    connection_.SetPlan(nullptr);
    query_.First();
  }

  void PlanTable(rebuild::Rebuilders& rebuilders, rebuild::Findings& findings, sql::WritePlan& plan,
                 bool reportStatements) {
    const std::int32_t tableTag = query_.FieldByName("TableTag").AsInteger();
    if (reportStatements && deps_.onTable) deps_.onTable(tableTag);
    rebuild::TablePlan& table = findings.Begin(tableTag);
    table.firstStatement = plan.Statements().size();
    const std::size_t firstUnknown = plan.UnknownReads().size();
    try {
      if (IsDetailTableTag(tableTag)) {
        rebuilders.RebuildDetailTable(tableTag);
      } else {
        rebuilders.RebuildTerminalTables(tableTag);
      }
    } catch (const sql::SqlError& e) {
      // Without the link, once the run was interrupted, or locked out,
      // there is nothing more to learn.
      if (IsLockTimeout(std::current_exception())) lockedTable_ = findings.Current().tableName;
      if (e.ConnectionLost() || e.SqlState() == "HY008" ||
          IsLockTimeout(std::current_exception()) || IsDeadlock(std::current_exception()))
        throw;
      findings.Add({tableTag, rebuild::Severity::kRefusal, WithoutTablePrefix(tableTag, e.what())});
    } catch (const std::exception& e) {
      findings.Add({tableTag, rebuild::Severity::kRefusal, WithoutTablePrefix(tableTag, e.what())});
    }
    findings.Current().endStatement = plan.Statements().size();
    // What a plan cannot know in advance: a run learns it as it goes.
    for (std::size_t i = firstUnknown; deps_.plan && i < plan.UnknownReads().size(); ++i) {
      const auto& unknown = plan.UnknownReads()[i];
      // The write is named by its first words only: the statement itself is
      // in the script and the trace, and may run to a kilobyte.
      findings.Add({tableTag, rebuild::Severity::kNote,
                    text::TrFormat("the run reads \"%s\" after its own \"%s ...\" has changed what "
                                   "it reads; its answer cannot be known in advance",
                                   unknown.text, FirstWords(unknown.dependsOn))});
    }
    if (!reportStatements) return;
    for (std::size_t i = findings.Current().firstStatement; i < plan.Statements().size(); ++i) {
      connection_.ReportPlanned(plan.Statements()[i]);
    }
    for (const rebuild::KeyMove& key : findings.Current().keys) {
      connection_.ReportPlanned({key.drop, sql::PlannedStatement::Kind::kBefore});
    }
    for (const rebuild::KeyMove& key : findings.Current().keys) {
      if (!key.carried) continue;
      connection_.ReportPlanned({key.make, sql::PlannedStatement::Kind::kAfter});
      if (!key.settle.empty()) {
        connection_.ReportPlanned({key.settle, sql::PlannedStatement::Kind::kAfter});
      }
    }
  }

  // "Insert into dbo.Tmp_X(...) ..." as "Insert into dbo.Tmp_X".
  static std::string FirstWords(const std::string& statement) {
    std::size_t end = 0;
    for (int words = 0; words < 3 && end != std::string::npos; ++words) {
      end = statement.find_first_of(" (", end == 0 ? 0 : end + 1);
    }
    return statement.substr(0, end);
  }

  static std::string WithoutTablePrefix(std::int32_t tableTag, const std::string& message) {
    return message.substr(TablePrefixSize(message, tableTag));
  }

  static std::string ProblemList(const rebuild::Findings& findings) {
    std::string list = text::Tr("the run cannot start; nothing was changed:");
    for (const rebuild::Problem& problem : findings.Problems()) {
      if (problem.severity != rebuild::Severity::kRefusal) continue;
      list += "\n  - ";
      if (problem.tableTag != 0) list += sql::Format("TableTag %d: ", problem.tableTag);
      list += problem.message;
    }
    return list;
  }

  void ShowWindow() {
    window_.SetPrompt(kRebuildingPrompt);
    window_.StartAnimation();
    window_.Show();
    window_.RepaintNow();
  }

  void WalkInTransaction() {
    try {
      auto rebuilders = deps_.makeRebuilders(access_, *deps_.notices);
      rebuilders->ReportRowsTo([this](std::int64_t rows) { RowsCounted(rows); });
      rebuilders->ReportCarriedTo(
          [this](const rebuild::CarriedCounts& carried, const std::vector<std::string>& lost) {
            if (report_.tables.empty()) return;
            report_.tables.back().carried = carried;
            report_.tables.back().dependentsLost = lost;
          });
      rebuilders->ReportCopiedTo([this](std::int64_t rows) {
        if (!report_.tables.empty()) report_.tables.back().rowsCopied = rows;
      });
      report_.tables.reserve(static_cast<std::size_t>(report_.flaggedRows));
      if (online_ != nullptr) {
        rebuilders->GoOnline(online_);
        rebuild::LockAndCheckPrepared(access_, *online_);
      }
      for (; !query_.End(); query_.Next()) RebuildTable(*rebuilders);
    } catch (const rebuild::QuantitiesAboveN& refused) {
      EndFailedTable();
      AppendMessage(report_, TablePrefix(refused.what()) + refused.what());
      RollBack(Outcome::kRolledBack);
      // Only now that nothing is locked does the run wait for the user.
      deps_.notices->ShowNotice(rebuild::kSizeDecreaseNotice, ui::kNoticeInformation);
      return;
    } catch (...) {
      EndFailedTable();
      const std::exception_ptr failure = std::current_exception();
      const std::string message = MessageOf(failure);
      AppendMessage(report_, TablePrefix(message) + message);
      if (IsLockTimeout(failure)) {
        RollBack(Outcome::kLockedOut);
        NameLockHolders(WaitedFor(failure));
      } else if (IsDeadlock(failure)) {
        // The server has already rolled the transaction back; the rollback
        // here only settles the connection.
        RollBack(Outcome::kLockedOut);
        report_.deadlockVictim = true;
        AppendMessage(report_, text::Tr(kDeadlockVictimText));
      } else {
        RollBack(Outcome::kRolledBack);
      }
      return;
    }
    if (deps_.dryRun) {
      RollBack(Outcome::kPreviewed);
      return;
    }
    try {
      const std::vector<sql::Diagnostic> warnings = connection_.Commit();
      report_.outcome = Outcome::kCommitted;
      for (const auto& warning : warnings) {
        AppendMessage(report_, text::TrFormat("warning: %s", warning.message));
      }
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      AppendMessage(report_, text::TrFormat("commit failed: %s", MessageOf(failure)));
      // With the link gone nobody can tell whether the server took the
      // commit before it broke; say so rather than guess.
      RollBack(ConnectionLost(failure) ? Outcome::kCommitUnknown : Outcome::kRolledBack);
    }
  }

  void RebuildTable(rebuild::Rebuilders& rebuilders) {
    // Stopped between two tables: the next one is not begun, so no table is
    // shown at work after the interrupt.
    if (RunStopReason() == StopReason::kInterrupted) throw Interrupted();
    const std::int32_t tableTag = query_.FieldByName("TableTag").AsInteger();
    currentTableTag_ = tableTag;
    if (deps_.onTable) deps_.onTable(tableTag);
    BeginTable(tableTag);
    bool rebuilt = true;
    if (IsDetailTableTag(tableTag)) {
      rebuilt = rebuilders.RebuildDetailTable(tableTag);
    } else {
      rebuilders.RebuildTerminalTables(tableTag);
    }
    TableRun& table = report_.tables.back();
    // A detail rebuild that stops short does so for one of two reasons: the
    // table is never rebuilt, or its size texts were left at the
    // size-decrease notice after its slot columns were rebuilt.
    if (rebuilt) {
      table.status = TableStatus::kRebuilt;
    } else if (rebuild::IsSkippedByDesign(tableTag)) {
      table.status = TableStatus::kSkipped;
      table.skipReason = text::Tr(rebuild::kSkippedByDesignReason);
      table.rowsLost = 0;
      table.emptied.clear();
    } else {
      table.status = TableStatus::kStoppedAtNotice;
    }
    // Ctrl+C at the notice ends its wait and lets the rebuild return: the
    // table was under way when the run was stopped, never done, and no
    // other table is begun after it.
    if (RunStopReason() == StopReason::kInterrupted) throw Interrupted();
    EndTable(table);
    currentTableTag_.reset();
  }

  // What the check before the walk learnt about the table at this place.
  void BeginTable(std::int32_t tableTag) {
    TableRun& table = report_.tables.emplace_back();
    table.position = report_.tables.size();
    table.count = static_cast<std::size_t>(report_.flaggedRows);
    table.tableTag = tableTag;
    const auto& plans = report_.findings.Tables();
    if (table.position <= plans.size() && plans[table.position - 1].tableTag == tableTag) {
      const rebuild::TablePlan& plan = plans[table.position - 1];
      table.tableName = plan.tableName;
      table.kind = plan.kind;
      if (plan.kind == rebuild::TableKind::kPerTerminal) table.rows = plan.rows;
      table.carried = plan.carried;
      table.dependentsLost = plan.dependentsLost;
      table.rowsLost = rebuild::RowsLostByDesign(plan);
      table.emptied = plan.emptied;
    }
    tableStart_ = std::chrono::steady_clock::now();
    if (deps_.onTableProgress) deps_.onTableProgress(table);
  }

  void RowsCounted(std::int64_t rows) {
    if (report_.tables.empty()) return;
    report_.tables.back().rows = rows;
    if (deps_.onTableProgress) deps_.onTableProgress(report_.tables.back());
  }

  void EndTable(TableRun& table) {
    table.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tableStart_).count();
    if (deps_.onTableProgress) deps_.onTableProgress(table);
  }

  // What a cancelled statement raises, for a stop noticed between statements.
  static sql::SqlError Interrupted() {
    return sql::SqlError({sql::Diagnostic{"HY008", 0, text::Tr("the run was interrupted")}});
  }

  void EndFailedTable() {
    if (!currentTableTag_ || report_.tables.empty()) return;
    report_.tables.back().status = RunStopReason() == StopReason::kInterrupted
                                       ? TableStatus::kInterrupted
                                       : TableStatus::kFailed;
    EndTable(report_.tables.back());
  }

  // Rolled back: the server is asked, on the same connection and with
  // nothing of the run locked any more, who holds the table the run waited
  // for: the one a statement named (a drop, a carried dependent, a refreshed
  // view), or the table being rebuilt.
  void NameLockHolders(const std::string& waitedFor) {
    AppendMessage(report_, HeldBy(!waitedFor.empty()       ? waitedFor
                                  : report_.tables.empty() ? std::string()
                                                           : report_.tables.back().tableName));
  }

  static std::string WaitedFor(const std::exception_ptr& failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const rebuild::TableLockedOut& e) {
      return e.Table();
    } catch (...) {
      return {};
    }
  }

  // Who holds locks on the table, asked once the run holds none itself.
  std::string HeldBy(const std::string& table) {
    report_.lockedTable = table;
    if (table.empty()) return text::Tr("a lock wait ran out");
    std::string holders;
    try {
      report_.lockHolders = TableLockHolders(access_, table);
      holders = DescribeHolders(report_.lockHolders);
      if (holders.empty()) holders = text::Tr("a session that has let go of it since");
    } catch (const std::exception& e) {
      holders = text::TrFormat("another session (who could not be asked: %s)", e.what());
    }
    // TRANSLATORS: the second %s names the sessions holding the table, or says who could not be
    // asked.
    return text::TrFormat("table %s is held by %s", table, holders);
  }

  // Names the table whose rebuild failed, unless the message already does.
  std::string TablePrefix(const std::string& message) {
    if (!currentTableTag_) return {};
    report_.failedTableTag = currentTableTag_;
    if (TablePrefixSize(message, *currentTableTag_) > 0) return {};
    return sql::Format("TableTag %d: ", *currentTableTag_);
  }

  void RollBack(Outcome outcome) {
    report_.outcome = outcome;
    try {
      connection_.Rollback();
    } catch (const std::exception& e) {
      // Nothing was committed; the server discards the open transaction
      // when the connection closes.
      AppendMessage(report_, text::TrFormat("rollback failed: %s", e.what()));
    }
  }

  void DisconnectAndHandleMessages() {
    try {
      connection_.Disconnect();
    } catch (const std::exception& e) {
      AppendMessage(report_, text::TrFormat("disconnect failed: %s", e.what()));
    }
    window_.ProcessPendingMessages();
  }

  const RunDependencies& deps_;
  sql::SqlAccess& access_;
  sql::SqlConnection& connection_;
  sql::SqlQuery& query_;
  ui::ProgressView& window_;
  RunReport& report_;
  DatabaseLock databaseLock_;
  std::optional<std::int32_t> currentTableTag_;
  std::chrono::steady_clock::time_point tableStart_;
  std::string lockedTable_;  // the table whose read ran out of time before the transaction
  bool keysOff_ = false;     // the foreign keys were taken off before the transaction
  rebuild::OnlineRebuild* online_ = nullptr;  // set while an online run cuts over
};

RunReport RunOnce(const ConnectionArguments& arguments, const RunDependencies& deps) {
  RunReport report;
  const RunGuard guard;
  if (!guard.Entered()) {
    report.outcome = Outcome::kBusy;
    report.message = text::Tr("another restructure run is in progress in this process");
    return report;
  }
  try {
    // Declared in creation order, so they are released in the reverse one:
    // the statement object, then the connection, then the window.
    const std::unique_ptr<ui::ProgressView> window = deps.makeProgressView();
    const std::unique_ptr<sql::SqlConnection> connection =
        CreateSizeConnection(arguments, deps.makeClient);
    connection->SetStatementObserver(
        [&report, &deps](const std::string& text, sql::StatementOutcome outcome) {
          if (outcome == sql::StatementOutcome::kOk || outcome == sql::StatementOutcome::kFailed ||
              outcome == sql::StatementOutcome::kFailedIgnored) {
            ++report.statementsSent;
          }
          if (deps.observeStatement) deps.observeStatement(text, outcome);
        });
    if (deps.observeMessage) connection->SetMessageObserver(deps.observeMessage);
    sql::SqlAccess access;
    access.Add(*connection);
    sql::SqlQuery query(access, sql::kSizeConnectionName);
    Run(deps, access, *connection, query, *window, report).Go();
  } catch (const LockedOut& e) {
    report.outcome = Outcome::kLockedOut;
    report.deadlockVictim = e.Deadlock();
    AppendMessage(report, e.what());
  } catch (...) {
    report.outcome = Outcome::kFailedBeforeTransaction;
    report.loginFailed = LoginFailed(std::current_exception());
    AppendMessage(report, MessageOf(std::current_exception()));
  }
  SettleTables(report);
  return report;
}

}  // namespace

void AppendMessage(RunReport& report, const std::string& message) {
  if (!report.message.empty()) report.message += '\n';
  report.message += message;
}

RunReport RunRestructure(const ConnectionArguments& arguments, const RunDependencies& deps) {
  const auto start = std::chrono::steady_clock::now();
  RunReport report = RunOnce(arguments, deps);
  RemoveWhatStaysOnANewConnection(report, [&] {
    RunDependencies cleanUp = deps;
    cleanUp.online.cleanUpOnly = true;
    return RunOnce(arguments, cleanUp);
  });
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return report;
}

}  // namespace slotsync::entry
