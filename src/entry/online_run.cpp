#include "entry/online_run.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "entry/run_cancel.h"
#include "rebuild/dependent_statements.h"
#include "text/messages.h"

namespace slotsync::entry {

std::vector<std::string> FindLeftovers(sql::SqlAccess& access) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(rebuild::LeftoverQuery());
  query.OpenByPosition();
  std::vector<std::string> tables;
  for (; !query.End(); query.Next()) tables.push_back(query.Field(0).AsString());
  return tables;
}

void RemoveLeftovers(sql::SqlAccess& access, RunReport& report) {
  for (const std::string& table : FindLeftovers(access)) {
    rebuild::RemoveOnlineObjects(access, table);
    if (!report.message.empty()) report.message += '\n';
    report.message += text::TrFormat(
        "warning: %s",
        text::TrFormat("removed what an earlier online run left behind: the "
                       "capture trigger dbo.%s on %s and the table dbo.%s",
                       rebuild::CaptureName(table), table, rebuild::ShadowName(table)));
  }
}

void PlanOnline(sql::SqlAccess& access, const OnlineSettings& settings,
                rebuild::Findings& findings) {
  for (const std::string& table : FindLeftovers(access)) {
    findings.Add({0, rebuild::Severity::kNote,
                  text::TrFormat("an earlier online run left the capture trigger dbo.%s on %s and "
                                 "the table dbo.%s behind; an online run removes them first",
                                 rebuild::CaptureName(table), table, rebuild::ShadowName(table))});
  }
  std::vector<rebuild::Problem> notes;
  for (const rebuild::TablePlan& plan : findings.Tables()) {
    if (plan.kind != rebuild::TableKind::kDetail || findings.Refused(plan.tableTag)) continue;
    const std::int64_t rows = plan.rows.value_or(0);
    const std::int64_t batches = (rows + settings.batchRows - 1) / settings.batchRows;
    notes.push_back(
        {plan.tableTag, rebuild::Severity::kNote,
         text::TrFormat("online: %s is copied into dbo.%s while the shop works, in batches of "
                        "%d rows (about %d), each its own transaction; the cut-over locks it "
                        "for two reads over its rows and dbo.%s (about %d rows each) and a "
                        "fixed number of statements, and no lock wait lasts longer than %d s",
                        plan.tableName, rebuild::ShadowName(plan.tableName), settings.batchRows,
                        batches, rebuild::ShadowName(plan.tableName), rows,
                        settings.cutoverTimeoutSeconds)});
  }
  for (rebuild::Problem& note : notes) findings.Add(std::move(note));
}

std::vector<std::string> RemovePrepared(sql::SqlAccess& access,
                                        const rebuild::OnlineRebuild& online) {
  const CleanUpAfterCancel evenAfterCtrlC;
  std::vector<std::string> stays;
  for (const rebuild::PreparedTable& table : online.tables) {
    if (!table.objectsMade) continue;
    try {
      rebuild::RemoveOnlineObjects(access, table.copy.table);
    } catch (const std::exception& e) {
      stays.push_back(text::TrFormat(
          "the capture trigger dbo.%s and the table dbo.%s could not be removed (%s); the next "
          "online run removes them, or slotsync --online --clean-up",
          rebuild::CaptureName(table.copy.table), rebuild::ShadowName(table.copy.table), e.what()));
    }
  }
  return stays;
}

namespace {

void SayWhatStays(sql::SqlAccess& access, const rebuild::OnlineRebuild& online, RunReport& report) {
  for (std::string& stays : RemovePrepared(access, online)) {
    AppendMessage(report, text::TrFormat("warning: %s", stays));
    report.leftBehind.push_back({std::move(stays), /*onlineCopy=*/true});
  }
}

// Takes the warning `what` out of the report's message.
void Unsay(RunReport& report, const std::string& what) {
  const std::string line = text::TrFormat("warning: %s", what);
  const std::size_t at = report.message.find(line);
  if (at == std::string::npos) return;
  std::size_t from = at, to = at + line.size();
  if (from > 0) {
    --from;  // its line break
  } else if (to < report.message.size()) {
    ++to;
  }
  report.message.erase(from, to - from);
}

}  // namespace

void RunOnline(sql::SqlAccess& access, sql::SqlQuery& flagged, rebuild::Rebuilders& rebuilders,
               const OnlineSettings& settings, RunReport& report,
               const std::function<void(rebuild::OnlineRebuild* online)>& cutOver) {
  // What the run had to say before (leftovers removed) outlives the rounds.
  const std::string before = report.message;
  rebuild::OnlineRebuild online;
  online.batchRows = settings.batchRows;
  online.onProgress = settings.onCopyProgress;
  try {
    rebuilders.GoOnline(&online);
    for (; !flagged.End(); flagged.Next()) {
      const std::int32_t tableTag = flagged.FieldByName("TableTag").AsInteger();
      if (IsDetailTableTag(tableTag)) rebuilders.RebuildDetailTable(tableTag);
    }
    flagged.First();
    online.phase = rebuild::OnlinePhase::kCutOver;
    for (std::int32_t round = 0;; ++round) {
      cutOver(&online);
      if (report.outcome != Outcome::kLockedOut || round >= settings.retries) break;
      PauseBeforeRound(settings, round);
      // The next round reports afresh.
      report.tables.clear();
      report.message = before;
      report.lockedTable.clear();
      report.lockHolders.clear();
      report.failedTableTag.reset();
      flagged.First();
    }
  } catch (...) {
    SayWhatStays(access, online, report);
    throw;
  }
  if (report.outcome != Outcome::kCommitted) SayWhatStays(access, online, report);
}

void RemoveWhatStaysOnANewConnection(RunReport& report, const std::function<RunReport()>& cleanUp) {
  const auto online = [](const LeftBehind& left) { return left.onlineCopy; };
  if (std::none_of(report.leftBehind.begin(), report.leftBehind.end(), online) ||
      report.stopped != StopReason::kNone || RunStopReason() != StopReason::kNone) {
    return;
  }
  const RunReport again = cleanUp();
  report.statementsSent += again.statementsSent;
  if (again.outcome != Outcome::kCommitted && again.outcome != Outcome::kInStep) {
    AppendMessage(report,
                  text::TrFormat("warning: %s",
                                 text::TrFormat("a new connection could not remove them either: %s",
                                                again.message)));
    return;
  }
  // What the warnings said stays is gone now: saying it would be false.
  for (const LeftBehind& left : report.leftBehind) {
    if (left.onlineCopy) Unsay(report, left.what);
  }
  std::erase_if(report.leftBehind, online);
  AppendMessage(report,
                text::TrFormat("warning: %s",
                               again.message.empty()
                                   ? text::Tr("the online run could not remove its new tables and "
                                              "captures on its own connection; a new connection "
                                              "found none of them left")
                                   : text::Tr("the online run could not remove its new tables and "
                                              "captures on its own connection; a new connection "
                                              "removed them:")));
  if (!again.message.empty()) report.message += '\n' + again.message;
}

void PauseBeforeRound(const OnlineSettings& settings, std::int32_t round) {
  const std::int32_t seconds = 2 << std::min(round, 4);
  if (settings.pause) {
    settings.pause(seconds);
  } else {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
  }
}

}  // namespace slotsync::entry
