#include "entry/public_api.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "entry/audit_log.h"
#include "entry/run_cancel.h"
#include "entry/run_json.h"
#include "text/gbk.h"
#include "text/messages.h"
#include "ui/notice.h"
#include "ui/progress_view.h"

namespace slotsync::entry {
namespace {

thread_local std::string lastError;
// The last run of this thread, made into JSON only when someone asks: the
// in-step call, on every start of a host, has no use for it.
thread_local RunReport lastReport;
thread_local std::optional<std::string> lastRun;
thread_local int lastExitCode = kExitCouldNotRun;

// Reports the run's display to the host's callback instead of drawing it.
class CallbackProgressView final : public ui::ProgressView {
 public:
  CallbackProgressView(SlotsyncProgressCallback callback, void* context)
      : callback_(callback), context_(context) {}
  ~CallbackProgressView() override { callback_(context_, SLOTSYNC_PROGRESS_CLOSE, ""); }
  CallbackProgressView(const CallbackProgressView&) = delete;
  CallbackProgressView& operator=(const CallbackProgressView&) = delete;

  void SetPrompt(const std::string& text) override {
    callback_(context_, SLOTSYNC_PROGRESS_PROMPT, text.c_str());
  }
  void StartAnimation() override {}
  void Show() override { callback_(context_, SLOTSYNC_PROGRESS_SHOW, ""); }
  void RepaintNow() override {}
  void ProcessPendingMessages() override {}

 private:
  SlotsyncProgressCallback callback_;
  void* context_;
};

class CallbackNoticeBox final : public ui::NoticeBox {
 public:
  CallbackNoticeBox(SlotsyncNoticeCallback callback, void* context)
      : callback_(callback), context_(context) {}
  int ShowNotice(const std::string& text, unsigned flags) override {
    return callback_(context_, ui::kNoticeCaption, text.c_str(), flags);
  }

 private:
  SlotsyncNoticeCallback callback_;
  void* context_;
};

#define SLOTSYNC_FIELD_END(type, field) (offsetof(type, field) + sizeof(type::field))

// Where each field of the options ends, in order. A caller's size may come
// from an older or a broken header and end inside a field: only the fields it
// covers whole are read, never half a pointer.
constexpr std::size_t kOptionFieldEnds[] = {
    SLOTSYNC_FIELD_END(SlotsyncOptions, size),
    SLOTSYNC_FIELD_END(SlotsyncOptions, dryRun),
    SLOTSYNC_FIELD_END(SlotsyncOptions, showWindow),
    SLOTSYNC_FIELD_END(SlotsyncOptions, onStatement),
    SLOTSYNC_FIELD_END(SlotsyncOptions, statementContext),
    SLOTSYNC_FIELD_END(SlotsyncOptions, onProgress),
    SLOTSYNC_FIELD_END(SlotsyncOptions, progressContext),
    SLOTSYNC_FIELD_END(SlotsyncOptions, onNotice),
    SLOTSYNC_FIELD_END(SlotsyncOptions, noticeContext),
    SLOTSYNC_FIELD_END(SlotsyncOptions, onMessage),
    SLOTSYNC_FIELD_END(SlotsyncOptions, messageContext),
    SLOTSYNC_FIELD_END(SlotsyncOptions, plan),
    SLOTSYNC_FIELD_END(SlotsyncOptions, onTableReport),
    SLOTSYNC_FIELD_END(SlotsyncOptions, tableReportContext),
    SLOTSYNC_FIELD_END(SlotsyncOptions, onFinding),
    SLOTSYNC_FIELD_END(SlotsyncOptions, findingContext),
    SLOTSYNC_FIELD_END(SlotsyncOptions, encrypt),
    SLOTSYNC_FIELD_END(SlotsyncOptions, trustServerCertificate),
    SLOTSYNC_FIELD_END(SlotsyncOptions, lockTimeout),
    SLOTSYNC_FIELD_END(SlotsyncOptions, onTableProgress),
    SLOTSYNC_FIELD_END(SlotsyncOptions, tableProgressContext),
    SLOTSYNC_FIELD_END(SlotsyncOptions, logFile),
    SLOTSYNC_FIELD_END(SlotsyncOptions, language),
    SLOTSYNC_FIELD_END(SlotsyncOptions, trustedConnection),
    SLOTSYNC_FIELD_END(SlotsyncOptions, dataSource),
    SLOTSYNC_FIELD_END(SlotsyncOptions, online),
    SLOTSYNC_FIELD_END(SlotsyncOptions, cutoverTimeout),
    SLOTSYNC_FIELD_END(SlotsyncOptions, cutoverRetries),
    SLOTSYNC_FIELD_END(SlotsyncOptions, onlineCleanUp),
};
// The fields of the result before its message, which is written cut to fit.
constexpr std::size_t kResultFieldEnds[] = {
    SLOTSYNC_FIELD_END(SlotsyncResult, size),
    SLOTSYNC_FIELD_END(SlotsyncResult, outcome),
    SLOTSYNC_FIELD_END(SlotsyncResult, slotCount),
    SLOTSYNC_FIELD_END(SlotsyncResult, slotColumns),
    SLOTSYNC_FIELD_END(SlotsyncResult, flaggedRows),
    SLOTSYNC_FIELD_END(SlotsyncResult, rebuiltTables),
    SLOTSYNC_FIELD_END(SlotsyncResult, hasFailedTableTag),
    SLOTSYNC_FIELD_END(SlotsyncResult, failedTableTag),
};
// The fields after the message.
constexpr std::size_t kResultTailEnds[] = {
    SLOTSYNC_FIELD_END(SlotsyncResult, tablesAtNotice),
    SLOTSYNC_FIELD_END(SlotsyncResult, tableAtNotice),
    SLOTSYNC_FIELD_END(SlotsyncResult, rowsCopied),
    SLOTSYNC_FIELD_END(SlotsyncResult, statementsSent),
    SLOTSYNC_FIELD_END(SlotsyncResult, seconds),
    SLOTSYNC_FIELD_END(SlotsyncResult, leftBehind),
};

// A field added to a struct must be added to its list too.
constexpr std::size_t RoundUp(std::size_t n, std::size_t to) {
  return (n + to - 1) / to * to;
}
static_assert(RoundUp(std::end(kOptionFieldEnds)[-1], alignof(SlotsyncOptions)) ==
              sizeof(SlotsyncOptions));
static_assert(std::end(kResultFieldEnds)[-1] == offsetof(SlotsyncResult, message));
static_assert(RoundUp(std::end(kResultTailEnds)[-1], alignof(SlotsyncResult)) ==
              sizeof(SlotsyncResult));

template <std::size_t N>
std::size_t WholeFields(std::size_t size, const std::size_t (&ends)[N]) {
  std::size_t whole = 0;
  for (const std::size_t end : ends) {
    if (end <= size) whole = end;
  }
  return whole;
}

// The caller's options, with the fields its size leaves out at their defaults.
SlotsyncOptions ReadOptions(const SlotsyncOptions* given) {
  SlotsyncOptions options{};
  options.size = sizeof options;
  options.showWindow = 1;
  if (given != nullptr) std::memcpy(&options, given, WholeFields(given->size, kOptionFieldEnds));
  return options;
}

constexpr std::size_t kSmallestOptions = offsetof(SlotsyncOptions, dryRun) + sizeof(int);
constexpr std::size_t kSmallestResult = offsetof(SlotsyncResult, outcome) + sizeof(int);

bool IsEncryptLevel(int value) {
  return value >= SLOTSYNC_ENCRYPT_DEFAULT && value <= SLOTSYNC_ENCRYPT_OPTIONAL;
}

// SET LOCK_TIMEOUT takes milliseconds in an int.
constexpr int kMaxLockTimeout = 2'000'000;

// Any negative value asks for no bound at all.
bool IsLockTimeoutSetting(int seconds) {
  return seconds <= kMaxLockTimeout;
}

// 0 (a zeroed options block, or RefreshStruct itself) gets the bounded
// default: a host's start must not hang behind a terminal's open
// transaction. The run takes 0 as no bound.
constexpr int kMaxCutoverTimeout = 3600;

// "StockDetail: 4,000 of about 100,000 rows copied in 2 batches, about 35 s left".
std::string CopyProgressText(const rebuild::CopyProgress& progress) {
  const auto rows = static_cast<long long>(progress.rows);
  const auto batches = static_cast<long long>(progress.batches);
  std::string text = progress.estimated > progress.rows
                         ? text::TrFormat("%s: %d of about %d rows copied", progress.table, rows,
                                          static_cast<long long>(progress.estimated))
                         : text::TrFormat("%s: %d rows copied", progress.table, rows);
  text += text::TrPlural(" in %d batch", " in %d batches", batches, batches);
  if (progress.secondsLeft > 0) {
    text += text::TrFormat(", about %d s left", static_cast<long long>(progress.secondsLeft + 0.5));
  }
  return text;
}

std::int32_t LockTimeoutSeconds(int setting) {
  if (setting == 0) return kDefaultLockTimeoutSeconds;
  return setting < 0 ? 0 : setting;
}

OnlineSettings OnlineSettingsOf(const SlotsyncOptions& options) {
  OnlineSettings online;
  online.enabled = options.online != 0;
  online.cleanUpOnly = online.enabled && options.onlineCleanUp != 0;
  if (options.cutoverTimeout > 0) online.cutoverTimeoutSeconds = options.cutoverTimeout;
  online.retries = std::max(options.cutoverRetries, 0);
  if (options.onProgress == nullptr) return online;
  // At most once a second, and the last batch of each table.
  auto last = std::make_shared<std::chrono::steady_clock::time_point>();
  online.onCopyProgress = [&options, last](const rebuild::CopyProgress& progress) {
    const auto now = std::chrono::steady_clock::now();
    const bool done = progress.secondsLeft == 0;
    if (!done && now - *last < std::chrono::seconds(1)) return;
    *last = now;
    options.onProgress(options.progressContext, SLOTSYNC_PROGRESS_COPYING,
                       CopyProgressText(progress).c_str());
  };
  return online;
}

// Names the first argument that cannot be used, or returns empty text.
std::string CheckArguments(const char* const (&texts)[4], const SlotsyncOptions* options,
                           const SlotsyncResult* result) {
  static constexpr const char* kNames[4] = {N_("server name"), N_("database name"), N_("user name"),
                                            N_("password")};
  const SlotsyncOptions read = ReadOptions(options);
  const bool dataSource = read.dataSource != nullptr && read.dataSource[0] != '\0';
  const bool trusted = read.trustedConnection != 0;
  // What the login takes from elsewhere must not be given as well: the
  // driver would take the one given over the data source's or Windows'.
  if (dataSource && texts[0] != nullptr && texts[0][0] != '\0') {
    return text::Tr(
        "with SlotsyncOptions.dataSource the server name must be empty: the data "
        "source names the server");
  }
  if (trusted && ((texts[2] != nullptr && texts[2][0] != '\0') ||
                  (texts[3] != nullptr && texts[3][0] != '\0'))) {
    return text::Tr(
        "with SlotsyncOptions.trustedConnection the user name and the password must "
        "be empty: Windows authentication logs in as the user the process runs as");
  }
  if (dataSource && (strnlen(read.dataSource, kMaxArgumentBytes + 1) > kMaxArgumentBytes ||
                     !text::IsWellFormedGbk(read.dataSource))) {
    return text::Tr(
        "SlotsyncOptions.dataSource is too long or holds a byte that is no GBK "
        "character");
  }
  for (int i = 0; i < 4; ++i) {
    // Translated only when something is said: the in-step call of every
    // host's start passes here.
    const auto name = [i] { return text::Tr(kNames[i]); };
    // TRANSLATORS: %s is the server name, the database name, the user name or the password.
    if (texts[i] == nullptr) return text::TrFormat("the %s is NULL", name());
    // An empty one would leave its attribute out, and the driver would fall
    // back to a default of its own: another server, database or login.
    const bool givenElsewhere = (i == 0 && dataSource) || (i == 2 && trusted);
    if (i < 3 && texts[i][0] == '\0' && !givenElsewhere) {
      return text::TrFormat("the %s is empty", name());
    }
    if (strnlen(texts[i], kMaxArgumentBytes + 1) > kMaxArgumentBytes) {
      return text::TrFormat("the %s is longer than %d bytes", name(), kMaxArgumentBytes);
    }
    // Such a byte would reach the server as "?", so a login would fail for
    // no visible reason, or name another database; the text is not shown,
    // since it may be the password.
    if (!text::IsWellFormedGbk(texts[i])) {
      return text::TrFormat("the %s holds a byte that is no GBK character", name());
    }
  }
  if (options != nullptr && options->size < kSmallestOptions) {
    return text::Tr("SlotsyncOptions.size is too small: set it to sizeof(SlotsyncOptions)");
  }
  if (options != nullptr && !IsEncryptLevel(ReadOptions(options).encrypt)) {
    return text::Tr("SlotsyncOptions.encrypt is no SlotsyncEncrypt value");
  }
  if (options != nullptr && (ReadOptions(options).cutoverTimeout < 0 ||
                             ReadOptions(options).cutoverTimeout > kMaxCutoverTimeout)) {
    return text::TrFormat("SlotsyncOptions.cutoverTimeout must be from 0 to %d seconds",
                          kMaxCutoverTimeout);
  }
  if (options != nullptr && !IsLockTimeoutSetting(ReadOptions(options).lockTimeout)) {
    return text::TrFormat("SlotsyncOptions.lockTimeout must be at most %d seconds",
                          kMaxLockTimeout);
  }
  if (result != nullptr && result->size < kSmallestResult) {
    return text::Tr("SlotsyncResult.size is too small: set it to sizeof(SlotsyncResult)");
  }
  return {};
}

// Copies at most size - 1 bytes, never cutting a GBK character in two.
void CopyMessage(char* target, std::size_t size, const std::string& message) {
  std::size_t length = 0;
  while (length < message.size()) {
    const bool lead = text::IsGbkLeadByte(static_cast<unsigned char>(message[length]));
    const std::size_t step = lead && length + 1 < message.size() ? 2 : 1;
    if (length + step > size - 1) break;
    length += step;
  }
  std::memcpy(target, message.data(), length);
  target[length] = '\0';
}

ConnectionSecurity EncryptionOf(const SlotsyncOptions& options) {
  switch (options.encrypt) {
    case SLOTSYNC_ENCRYPT_STRICT:
      return {sql::Encryption::kStrict, false, true};
    case SLOTSYNC_ENCRYPT_MANDATORY:
      return {sql::Encryption::kMandatory, options.trustServerCertificate != 0, true};
    case SLOTSYNC_ENCRYPT_OPTIONAL:
      return {sql::Encryption::kOptional, options.trustServerCertificate != 0, true};
    default:
      return {};
  }
}

ConnectionSecurity SecurityOf(const SlotsyncOptions* given) {
  const SlotsyncOptions options = ReadOptions(given);
  ConnectionSecurity security = EncryptionOf(options);
  security.trustedConnection = options.trustedConnection != 0;
  if (options.dataSource != nullptr) security.dataSource = options.dataSource;
  return security;
}

int ToCode(Outcome outcome) {
  switch (outcome) {
    case Outcome::kInStep:
      return SLOTSYNC_IN_STEP;
    case Outcome::kCommitted:
      return SLOTSYNC_COMMITTED;
    case Outcome::kRolledBack:
      return SLOTSYNC_ROLLED_BACK;
    case Outcome::kFailedBeforeTransaction:
      return SLOTSYNC_FAILED_BEFORE_TRANSACTION;
    case Outcome::kCommitUnknown:
      return SLOTSYNC_COMMIT_UNKNOWN;
    case Outcome::kBusy:
      return SLOTSYNC_BUSY;
    case Outcome::kBadArguments:
      return SLOTSYNC_BAD_ARGUMENTS;
    case Outcome::kPreviewed:
      return SLOTSYNC_PREVIEWED;
    case Outcome::kPlanned:
      return SLOTSYNC_PLANNED;
    case Outcome::kPlanRefused:
      return SLOTSYNC_PLAN_REFUSED;
    case Outcome::kLockedOut:
      return SLOTSYNC_LOCKED_OUT;
  }
  return SLOTSYNC_FAILED_BEFORE_TRANSACTION;
}

void WriteResult(SlotsyncResult* result, const RunReport& report) {
  SlotsyncResult full{};
  full.size = result->size;
  full.outcome = ToCode(report.outcome);
  full.slotCount = report.slotCount;
  full.slotColumns = report.slotColumns;
  full.flaggedRows = report.flaggedRows;
  full.rebuiltTables = report.rebuiltTables;
  full.hasFailedTableTag = report.failedTableTag.has_value() ? 1 : 0;
  full.failedTableTag = report.failedTableTag.value_or(0);
  std::memcpy(result, &full, WholeFields(result->size, kResultFieldEnds));
  // The message as far as the caller's block holds it, always terminated.
  constexpr std::size_t kMessageAt = offsetof(SlotsyncResult, message);
  if (result->size > kMessageAt) {
    CopyMessage(result->message, std::min(result->size - kMessageAt, sizeof full.message),
                report.message);
  }
  for (const TableRun& table : report.tables) {
    if (table.status == TableStatus::kStoppedAtNotice && full.tablesAtNotice++ == 0) {
      full.tableAtNotice = table.tableTag;
    }
    const bool kept =
        table.status == TableStatus::kRebuilt || table.status == TableStatus::kStoppedAtNotice;
    if (table.kind == rebuild::TableKind::kDetail && kept) {
      full.rowsCopied += table.rowsCopied.value_or(0);
    }
  }
  full.statementsSent = report.statementsSent;
  full.seconds = report.seconds;
  full.leftBehind = static_cast<int>(report.leftBehind.size());
  constexpr std::size_t kTailAt = offsetof(SlotsyncResult, tablesAtNotice);
  const std::size_t tailEnd = WholeFields(result->size, kResultTailEnds);
  if (tailEnd > kTailAt) {
    std::memcpy(reinterpret_cast<char*>(result) + kTailAt,
                reinterpret_cast<const char*>(&full) + kTailAt, tailEnd - kTailAt);
  }
}

int StatementCode(sql::StatementOutcome outcome) {
  switch (outcome) {
    case sql::StatementOutcome::kOk:
      return SLOTSYNC_STATEMENT_OK;
    case sql::StatementOutcome::kFailedIgnored:
      return SLOTSYNC_STATEMENT_FAILED_IGNORED;
    case sql::StatementOutcome::kFailed:
      return SLOTSYNC_STATEMENT_FAILED;
    case sql::StatementOutcome::kPlanned:
      return SLOTSYNC_STATEMENT_PLANNED;
    case sql::StatementOutcome::kPlannedIgnored:
      return SLOTSYNC_STATEMENT_PLANNED_IGNORED;
    case sql::StatementOutcome::kPlannedCheck:
      return SLOTSYNC_STATEMENT_PLANNED_CHECK;
    case sql::StatementOutcome::kPlannedBefore:
      return SLOTSYNC_STATEMENT_PLANNED_BEFORE;
    case sql::StatementOutcome::kPlannedAfter:
      return SLOTSYNC_STATEMENT_PLANNED_AFTER;
  }
  return SLOTSYNC_STATEMENT_FAILED;
}

std::string Joined(const std::vector<std::string>& names, const char* separator = ",") {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : separator) + name;
  return text;
}

int StatusCode(TableStatus status) {
  switch (status) {
    case TableStatus::kWorking:
      return SLOTSYNC_TABLE_WORKING;
    case TableStatus::kRebuilt:
      return SLOTSYNC_TABLE_REBUILT;
    case TableStatus::kSkipped:
      return SLOTSYNC_TABLE_UNCHANGED;
    case TableStatus::kStoppedAtNotice:
      return SLOTSYNC_TABLE_AT_NOTICE;
    case TableStatus::kFailed:
      return SLOTSYNC_TABLE_FAILED;
    case TableStatus::kUndone:
      return SLOTSYNC_TABLE_UNDONE;
    case TableStatus::kRefused:
      return SLOTSYNC_TABLE_REFUSED;
    case TableStatus::kNotReached:
      return SLOTSYNC_TABLE_NOT_REACHED;
    case TableStatus::kCommitUnknown:
      return SLOTSYNC_TABLE_COMMIT_UNKNOWN;
    case TableStatus::kInterrupted:
      return SLOTSYNC_TABLE_INTERRUPTED;
    case TableStatus::kPlanned:
      return SLOTSYNC_TABLE_PLANNED;
  }
  return SLOTSYNC_TABLE_PLANNED;
}

int KindCode(rebuild::TableKind kind) {
  return kind == rebuild::TableKind::kDetail        ? SLOTSYNC_TABLE_DETAIL
         : kind == rebuild::TableKind::kPerTerminal ? SLOTSYNC_TABLE_PER_TERMINAL
                                                    : SLOTSYNC_TABLE_NOTHING_TO_DO;
}

void AddCarried(SlotsyncTableReport& report, const rebuild::CarriedCounts& carried,
                const std::string& lost) {
  report.indexesCarried = carried.indexes;
  report.constraintsCarried = carried.constraints;
  report.permissionsCarried = carried.permissions;
  report.triggersCarried = carried.triggers;
  report.descriptionsCarried = carried.properties;
  report.dependentsLost = lost.c_str();
}

// The tables recreated empty, "name\trows" one a line, as the report hands
// them over.
std::string EmptiedText(const TableRun& run) {
  std::string text;
  for (const auto& [name, rows] : run.emptied) {
    text += (text.empty() ? "" : "\n") + name + "\t" + std::to_string(rows.value_or(-1));
  }
  return text;
}

// What the walk did to the table: rows counted under its lock, time taken.
void AddRun(SlotsyncTableReport& report, const TableRun& run) {
  report.status = StatusCode(run.status);
  report.seconds = run.seconds;
  report.position = static_cast<int>(run.position);
  report.count = static_cast<int>(run.count);
  report.rows = run.rows.value_or(-1);
  report.rowsCopied = run.rowsCopied.value_or(-1);
  report.rowsLost = run.rowsLost.value_or(-1);
  report.skipReason = run.skipReason.c_str();
}

void ReportProgress(const TableRun& run, const SlotsyncOptions& options) {
  SlotsyncTableReport report{};
  report.size = sizeof report;
  report.tableTag = run.tableTag;
  report.kind = KindCode(run.kind);
  report.tableName = run.tableName.c_str();
  report.columnsAdded = "";
  report.columnsDropped = "";
  const std::string lost = Joined(run.dependentsLost, "\n");
  AddCarried(report, run.carried, lost);
  AddRun(report, run);
  const std::string emptied = EmptiedText(run);
  report.emptied = emptied.c_str();
  options.onTableProgress(options.tableProgressContext, &report);
}

// A table at the run's end: what the run did to it, with the plan's facts
// when the check before the walk got them.
void ReportTable(const TableRun& run, const rebuild::TablePlan* table,
                 const rebuild::Findings& findings, const SlotsyncOptions& options) {
  const std::string added = table != nullptr ? Joined(table->columnsAdded) : std::string();
  const std::string dropped = table != nullptr ? Joined(table->columnsDropped) : std::string();
  SlotsyncTableReport report{};
  report.size = sizeof report;
  report.tableTag = run.tableTag;
  report.kind = KindCode(run.kind);
  report.tableName = run.tableName.c_str();
  if (table != nullptr) {
    report.slotsNow = table->slotsNow;
    report.slotsAfter = table->slotsAfter;
    report.sizeTextsUpdated = table->sizeTextsUpdated ? 1 : 0;
    report.triggerCalled = table->triggerCalled ? 1 : 0;
  }
  report.columnsAdded = added.c_str();
  report.columnsDropped = dropped.c_str();
  report.problems = static_cast<int>(findings.ProblemsOf(run.tableTag));
  const std::string lost = Joined(run.dependentsLost, "\n");
  AddCarried(report, run.carried, lost);
  AddRun(report, run);
  const std::string emptied = EmptiedText(run);
  report.emptied = emptied.c_str();
  options.onTableReport(options.tableReportContext, &report);
}

void ReportFindings(const RunReport& run, const SlotsyncOptions& options,
                    std::string_view password) {
  const rebuild::Findings& findings = run.findings;
  if (options.onTableReport != nullptr) {
    const auto& plans = findings.Tables();
    for (std::size_t i = 0; i < run.tables.size(); ++i) {
      const bool planned = i < plans.size() && plans[i].tableTag == run.tables[i].tableTag;
      ReportTable(run.tables[i], planned ? &plans[i] : nullptr, findings, options);
    }
  }
  if (options.onFinding != nullptr) {
    for (const auto& problem : findings.Problems()) {
      const int severity = problem.severity == rebuild::Severity::kRefusal  ? SLOTSYNC_PROBLEM
                           : problem.severity == rebuild::Severity::kNotice ? SLOTSYNC_NOTICE
                                                                            : SLOTSYNC_NOTE;
      const std::string message = sql::ScrubSecrets(problem.message, password);
      options.onFinding(options.findingContext, problem.tableTag, severity, message.c_str());
    }
  }
}

// A log that cannot be written is said in the message; the run stands.
void WriteAuditLog(const ConnectionArguments& arguments, RunReport& report,
                   const SlotsyncOptions& options, AuditFile* auditFile) {
  const std::string path =
      options.logFile != nullptr ? std::string(options.logFile) : AuditLogFromEnvironment();
  if (path.empty() && auditFile == nullptr) return;
  try {
    const std::string line = AuditLine(
        arguments, report, options.dataSource != nullptr ? options.dataSource : std::string());
    const std::string failed =
        auditFile != nullptr ? auditFile->Append(line) : AppendAuditLine(path, line);
    if (!failed.empty()) AppendMessage(report, text::TrFormat("warning: %s", failed));
  } catch (const std::exception& e) {
    AppendMessage(report, text::TrFormat("warning: the log could not be written: %s", e.what()));
  }
}

RunReport Run(const ConnectionArguments& arguments, const SlotsyncOptions& options,
              const ClientFactory& makeClient, const std::vector<std::string>& connectWarnings,
              AuditFile* auditFile) {
  std::unique_ptr<ui::NoticeBox> notices =
      options.onNotice != nullptr
          ? std::make_unique<CallbackNoticeBox>(options.onNotice, options.noticeContext)
          : ui::MakeDefaultNoticeBox();
  RunDependencies deps;
  deps.makeClient = [&makeClient](const SizeConnectionSettings& settings) {
    return Cancellable(makeClient(settings));
  };
  deps.makeProgressView = [&options]() -> std::unique_ptr<ui::ProgressView> {
    if (options.onProgress != nullptr) {
      return std::make_unique<CallbackProgressView>(options.onProgress, options.progressContext);
    }
    if (options.showWindow != 0) return ui::MakeDefaultProgressView();
    return std::make_unique<ui::NullProgressView>();
  };
  deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
    return rebuild::MakeRebuilders(access, box);
  };
  deps.notices = notices.get();
  deps.dryRun = options.dryRun != 0;
  deps.plan = options.plan != 0;
  if (options.onStatement != nullptr) {
    deps.observeStatement = [&options](const std::string& text, sql::StatementOutcome outcome) {
      options.onStatement(options.statementContext, text.c_str(), StatementCode(outcome));
    };
  }
  if (options.onMessage != nullptr) {
    deps.observeMessage = [&options, &arguments](const std::string& text,
                                                 const sql::Diagnostic& message) {
      const std::string shown = sql::ScrubSecrets(message.message, arguments.password.View());
      options.onMessage(options.messageContext, text.c_str(), message.sqlState.c_str(),
                        static_cast<int>(message.nativeError), shown.c_str());
    };
  }
  if (options.onProgress != nullptr) {
    deps.onTable = [&options](std::int32_t tableTag) {
      options.onProgress(options.progressContext, SLOTSYNC_PROGRESS_TABLE,
                         std::to_string(tableTag).c_str());
    };
  }
  deps.lockTimeoutSeconds = LockTimeoutSeconds(options.lockTimeout);
  deps.requireEncryption = options.encrypt != SLOTSYNC_ENCRYPT_OPTIONAL;
  if (options.onProgress != nullptr) {
    deps.onLockWait = [&options](const std::string& text) {
      options.onProgress(options.progressContext, SLOTSYNC_PROGRESS_WAITING, text.c_str());
    };
    deps.onChecking = [&options](const std::string& text) {
      options.onProgress(options.progressContext, SLOTSYNC_PROGRESS_CHECKING, text.c_str());
    };
  }
  if (options.onTableProgress != nullptr) {
    deps.onTableProgress = [&options](const TableRun& run) { ReportProgress(run, options); };
  }
  deps.online = OnlineSettingsOf(options);
  RunReport report = RunRestructure(arguments, deps);
  for (const std::string& warning : connectWarnings) {
    AppendMessage(report, text::TrFormat("warning: %s", warning));
  }
  // Scrubbed before the message is stored, logged or handed to anyone.
  report.message = sql::ScrubSecrets(report.message, arguments.password.View());
  if (report.outcome != Outcome::kBusy) report.stopped = RunStopReason();
  ReportFindings(report, options, arguments.password.View());
  WriteAuditLog(arguments, report, options, auditFile);
  return report;
}

}  // namespace

int RefreshStructWith(const char* server, const char* database, const char* user,
                      const char* password, const SlotsyncOptions* options, SlotsyncResult* result,
                      const ClientFactory* makeClient, AuditFile* auditFile) {
  RunReport report;
  try {
    text::ChooseMessageLanguage(ReadOptions(options).language);
    const RunInProgress inProgress;
    const std::string problem = CheckArguments({server, database, user, password}, options, result);
    if (!problem.empty()) {
      report.outcome = Outcome::kBadArguments;
      report.message = problem;
    } else {
      std::vector<std::string> connectWarnings;
      ConnectionSecurity security = SecurityOf(options);
      security.warn = [&connectWarnings](const std::string& warning) {
        connectWarnings.push_back(warning);
      };
      report = Run({server, database, user, password}, ReadOptions(options),
                   makeClient != nullptr ? *makeClient : OdbcClientFactory(security),
                   connectWarnings, auditFile);
    }
  } catch (const std::exception& e) {
    report.outcome = Outcome::kFailedBeforeTransaction;
    report.message = sql::ScrubSecrets(e.what(), password != nullptr ? password : "");
  } catch (...) {
    report.outcome = Outcome::kFailedBeforeTransaction;
    report.message = text::Tr("unknown failure");
  }
  if (result != nullptr && result->size >= kSmallestResult) WriteResult(result, report);
  const int code = ToCode(report.outcome);
  try {
    lastError = report.message;
    lastExitCode = ExitCodeOf(report);
    lastReport = std::move(report);
    lastRun.reset();
  } catch (...) {
    lastError.clear();
    lastReport = RunReport();
    lastRun = std::string();
  }
  return code;
}

bool LastRunWasDeadlockVictim() {
  return lastReport.deadlockVictim;
}

const char* LastError() {
  return lastError.c_str();
}

const std::string& LastRunJson() {
  if (!lastRun) {
    try {
      lastRun = RunJson(lastReport).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (...) {
      lastRun = std::string();
    }
  }
  return *lastRun;
}

int LastExitCode() {
  return lastExitCode;
}

}  // namespace slotsync::entry
