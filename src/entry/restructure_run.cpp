#include "entry/restructure_run.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <stdexcept>

#include "dictionary/size_slot_count.h"
#include "entry/preconditions.h"
#include "rebuild/detail_table.h"
#include "sql/sql_error.h"
#include "sql/statement_template.h"

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
    return "unknown failure";
  }
}

void AppendMessage(RunReport& report, const std::string& message) {
  if (!report.message.empty()) report.message += '\n';
  report.message += message;
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
        report_(report) {}

  // Failures before the transaction leave as exceptions; everything after
  // StartTransaction is settled here and recorded in the report.
  void Go() {
    if (!SizeTableHasRows()) {
      report_.outcome = Outcome::kInStep;
      return;
    }
    report_.slotCount = dictionary::GetSizeSlotCount(access_);
    report_.slotColumns = CountSlotColumns();
    if (report_.slotCount == report_.slotColumns) {
      report_.outcome = Outcome::kInStep;
      return;
    }
    SelectFlaggedRows();
    const bool anyFlagged = !query_.Empty();
    if (deps_.plan) {
      Plan(anyFlagged);
      return;
    }
    if (anyFlagged) {
      CheckPreconditions(access_, report_.slotCount, AnyDetailTableFlagged());
      Preflight();
      ShowWindow();
    }
    connection_.StartTransaction();
    WalkInTransaction();
    if (anyFlagged) DisconnectAndHandleMessages();
  }

 private:
  bool SizeTableHasRows() {
    query_.SetText("Select top 1 * From Size");
    query_.Open();  // connects
    return !query_.Empty();
  }

  std::int32_t CountSlotColumns() {
    // Sent as it stands: the server gets "x_%%", which matches what "x_%" does.
    query_.SetText(
        "Select Count(*) from sysColumns Where ID=Object_ID('StockDetailTemp') and Name like "
        "'x_%%'");
    try {
      query_.Open();
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
    throw PreconditionFailed(
        {CaseSensitiveCollationProblem(collation) + " (the server said: " + failure.what() + ")"});
  }

  void SelectFlaggedRows() {
    query_.SetText("Select * From S_Modify Where CanCreateFlag=1 and Modified=1 ");
    query_.Open();
    report_.flaggedRows = static_cast<std::int32_t>(query_.RowCount());
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
      try {
        CheckPreconditions(access_, report_.slotCount, AnyDetailTableFlagged());
      } catch (const PreconditionFailed& failed) {
        for (const std::string& problem : failed.Problems()) findings.Add({0, {}, problem});
      }
    }
    PlanWalk(findings, /*reportStatements=*/true);
    const bool refused = findings.Count(rebuild::Severity::kRefusal) > 0;
    report_.outcome = refused ? Outcome::kPlanRefused : Outcome::kPlanned;
    report_.rebuiltTables = 0;
    for (const auto& table : findings.Tables()) {
      if (table.kind != rebuild::TableKind::kNothingToDo &&
          findings.ProblemsOf(table.tableTag) == 0)
        ++report_.rebuiltTables;
    }
    if (refused) report_.message = ProblemList(findings);
  }

  // Every run checks what a plan finds before its transaction begins: a
  // refusal found there stops the run with nothing locked and every problem
  // named. The checks inside the transaction stay, for what changes in
  // between.
  void Preflight() {
    rebuild::Findings& findings = report_.findings;
    PlanWalk(findings, /*reportStatements=*/false);
    if (findings.Count(rebuild::Severity::kRefusal) == 0) return;
    const bool quantities =
        std::any_of(findings.Problems().begin(), findings.Problems().end(),
                    [](const rebuild::Problem& p) { return p.quantitiesAboveN; });
    // Shown once, and only now that nothing is locked.
    if (quantities) deps_.notices->ShowNotice(rebuild::kSizeDecreaseNotice, ui::kNoticeInformation);
    throw std::runtime_error(ProblemList(findings));
  }

  void PlanWalk(rebuild::Findings& findings, bool reportStatements) {
    sql::WritePlan plan;
    connection_.SetPlan(&plan);
    try {
      auto rebuilders = deps_.makeRebuilders(access_, *deps_.notices);
      rebuilders->PlanInto(&findings);
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
      // Without the link, or once the run was interrupted, there is nothing
      // more to learn.
      if (e.ConnectionLost() || e.SqlState() == "HY008") throw;
      findings.Add({tableTag, rebuild::Severity::kRefusal, WithoutTablePrefix(tableTag, e.what())});
    } catch (const std::exception& e) {
      findings.Add({tableTag, rebuild::Severity::kRefusal, WithoutTablePrefix(tableTag, e.what())});
    }
    findings.Current().endStatement = plan.Statements().size();
    for (std::size_t i = firstUnknown; i < plan.UnknownReads().size(); ++i) {
      const auto& unknown = plan.UnknownReads()[i];
      findings.Add({tableTag, rebuild::Severity::kNote,
                    "the run reads \"" + unknown.text + "\" after \"" + unknown.dependsOn +
                        "\" has changed what it reads; its answer cannot be known in advance"});
    }
    if (!reportStatements) return;
    for (std::size_t i = findings.Current().firstStatement; i < plan.Statements().size(); ++i) {
      connection_.ReportPlanned(plan.Statements()[i]);
    }
  }

  static std::string WithoutTablePrefix(std::int32_t tableTag, const std::string& message) {
    const std::string prefix = sql::Format("TableTag %d: ", tableTag);
    return message.starts_with(prefix) ? message.substr(prefix.size()) : message;
  }

  static std::string ProblemList(const rebuild::Findings& findings) {
    std::string text = "the run cannot start; nothing was changed:";
    for (const rebuild::Problem& problem : findings.Problems()) {
      if (problem.severity != rebuild::Severity::kRefusal) continue;
      text += "\n  - ";
      if (problem.tableTag != 0) text += sql::Format("TableTag %d: ", problem.tableTag);
      text += problem.message;
    }
    return text;
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
      for (; !query_.End(); query_.Next()) RebuildTable(*rebuilders);
    } catch (const rebuild::QuantitiesAboveN& refused) {
      AppendMessage(report_, TablePrefix(refused.what()) + refused.what());
      RollBack(Outcome::kRolledBack);
      // Only now that nothing is locked does the run wait for the user.
      deps_.notices->ShowNotice(rebuild::kSizeDecreaseNotice, ui::kNoticeInformation);
      return;
    } catch (...) {
      const std::string message = MessageOf(std::current_exception());
      AppendMessage(report_, TablePrefix(message) + message);
      RollBack(Outcome::kRolledBack);
      return;
    }
    if (deps_.dryRun) {
      RollBack(Outcome::kPreviewed);
      return;
    }
    try {
      const std::vector<sql::Diagnostic> warnings = connection_.Commit();
      report_.outcome = Outcome::kCommitted;
      for (const auto& warning : warnings) AppendMessage(report_, "warning: " + warning.message);
    } catch (...) {
      const std::exception_ptr failure = std::current_exception();
      AppendMessage(report_, "commit failed: " + MessageOf(failure));
      // With the link gone nobody can tell whether the server took the
      // commit before it broke; say so rather than guess.
      RollBack(ConnectionLost(failure) ? Outcome::kCommitUnknown : Outcome::kRolledBack);
    }
  }

  void RebuildTable(rebuild::Rebuilders& rebuilders) {
    const std::int32_t tableTag = query_.FieldByName("TableTag").AsInteger();
    currentTableTag_ = tableTag;
    if (deps_.onTable) deps_.onTable(tableTag);
    bool rebuilt = true;
    if (IsDetailTableTag(tableTag)) {
      rebuilt = rebuilders.RebuildDetailTable(tableTag);
    } else {
      rebuilders.RebuildTerminalTables(tableTag);
    }
    if (rebuilt) ++report_.rebuiltTables;
    currentTableTag_.reset();
  }

  // Names the table whose rebuild failed, unless the message already does.
  std::string TablePrefix(const std::string& message) {
    if (!currentTableTag_) return {};
    report_.failedTableTag = currentTableTag_;
    const std::string prefix = sql::Format("TableTag %d: ", *currentTableTag_);
    return message.starts_with(prefix) ? std::string() : prefix;
  }

  void RollBack(Outcome outcome) {
    report_.outcome = outcome;
    if (outcome == Outcome::kRolledBack) report_.rebuiltTables = 0;
    try {
      connection_.Rollback();
    } catch (const std::exception& e) {
      // Nothing was committed; the server discards the open transaction
      // when the connection closes.
      AppendMessage(report_, std::string("rollback failed: ") + e.what());
    }
  }

  void DisconnectAndHandleMessages() {
    try {
      connection_.Disconnect();
    } catch (const std::exception& e) {
      AppendMessage(report_, std::string("disconnect failed: ") + e.what());
    }
    window_.ProcessPendingMessages();
  }

  const RunDependencies& deps_;
  sql::SqlAccess& access_;
  sql::SqlConnection& connection_;
  sql::SqlQuery& query_;
  ui::ProgressView& window_;
  RunReport& report_;
  std::optional<std::int32_t> currentTableTag_;
};

}  // namespace

RunReport RunRestructure(const ConnectionArguments& arguments, const RunDependencies& deps) {
  RunReport report;
  const RunGuard guard;
  if (!guard.Entered()) {
    report.outcome = Outcome::kBusy;
    report.message = "another restructure run is in progress in this process";
    return report;
  }
  try {
    // Declared in creation order, so they are released in the reverse one:
    // the statement object, then the connection, then the window.
    const std::unique_ptr<ui::ProgressView> window = deps.makeProgressView();
    const std::unique_ptr<sql::SqlConnection> connection =
        CreateSizeConnection(arguments, deps.makeClient);
    if (deps.observeStatement) connection->SetStatementObserver(deps.observeStatement);
    if (deps.observeMessage) connection->SetMessageObserver(deps.observeMessage);
    sql::SqlAccess access;
    access.Add(*connection);
    sql::SqlQuery query(access, sql::kSizeConnectionName);
    Run(deps, access, *connection, query, *window, report).Go();
  } catch (...) {
    report.outcome = Outcome::kFailedBeforeTransaction;
    AppendMessage(report, MessageOf(std::current_exception()));
  }
  return report;
}

}  // namespace slotsync::entry
