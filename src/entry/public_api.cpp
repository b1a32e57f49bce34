#include "entry/public_api.h"

#include <cstring>
#include <string>

#include "text/gbk.h"
#include "ui/notice.h"
#include "ui/progress_view.h"

namespace slotsync::entry {
namespace {

thread_local std::string lastError;

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

// The caller's options, with the fields its size leaves out at their defaults.
SlotsyncOptions ReadOptions(const SlotsyncOptions* given) {
  SlotsyncOptions options{};
  options.size = sizeof options;
  options.showWindow = 1;
  if (given != nullptr) std::memcpy(&options, given, std::min(given->size, sizeof options));
  return options;
}

constexpr std::size_t kSmallestOptions = offsetof(SlotsyncOptions, dryRun) + sizeof(int);
constexpr std::size_t kSmallestResult = offsetof(SlotsyncResult, outcome) + sizeof(int);

// Names the first argument that cannot be used, or returns empty text.
std::string CheckArguments(const char* const (&texts)[4], const SlotsyncOptions* options,
                           const SlotsyncResult* result) {
  static constexpr const char* kNames[4] = {"server name", "database name", "user name",
                                            "password"};
  for (int i = 0; i < 4; ++i) {
    if (texts[i] == nullptr) return std::string("the ") + kNames[i] + " is NULL";
    if (strnlen(texts[i], kMaxArgumentBytes + 1) > kMaxArgumentBytes) {
      return std::string("the ") + kNames[i] + " is longer than " +
             std::to_string(kMaxArgumentBytes) + " bytes";
    }
    // Such a byte would reach the server as "?", so a login would fail for
    // no visible reason, or name another database; the text is not shown,
    // since it may be the password.
    if (!text::IsWellFormedGbk(texts[i])) {
      return std::string("the ") + kNames[i] + " holds a byte that is no GBK character";
    }
  }
  if (options != nullptr && options->size < kSmallestOptions) {
    return "SlotsyncOptions.size is too small: set it to sizeof(SlotsyncOptions)";
  }
  if (result != nullptr && result->size < kSmallestResult) {
    return "SlotsyncResult.size is too small: set it to sizeof(SlotsyncResult)";
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
  CopyMessage(full.message, sizeof full.message, report.message);
  std::memcpy(result, &full, std::min(result->size, sizeof full));
}

RunReport Run(const ConnectionArguments& arguments, const SlotsyncOptions& options,
              const ClientFactory& makeClient) {
  std::unique_ptr<ui::NoticeBox> notices =
      options.onNotice != nullptr
          ? std::make_unique<CallbackNoticeBox>(options.onNotice, options.noticeContext)
          : ui::MakeDefaultNoticeBox();
  RunDependencies deps;
  deps.makeClient = makeClient;
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
  if (options.onStatement != nullptr) {
    deps.observeStatement = [&options](const std::string& text, sql::StatementOutcome outcome) {
      const int code = outcome == sql::StatementOutcome::kOk ? SLOTSYNC_STATEMENT_OK
                       : outcome == sql::StatementOutcome::kFailedIgnored
                           ? SLOTSYNC_STATEMENT_FAILED_IGNORED
                           : SLOTSYNC_STATEMENT_FAILED;
      options.onStatement(options.statementContext, text.c_str(), code);
    };
  }
  if (options.onMessage != nullptr) {
    deps.observeMessage = [&options](const std::string& text, const sql::Diagnostic& message) {
      options.onMessage(options.messageContext, text.c_str(), message.sqlState.c_str(),
                        static_cast<int>(message.nativeError), message.message.c_str());
    };
  }
  if (options.onProgress != nullptr) {
    deps.onTable = [&options](std::int32_t tableTag) {
      options.onProgress(options.progressContext, SLOTSYNC_PROGRESS_TABLE,
                         std::to_string(tableTag).c_str());
    };
  }
  return RunRestructure(arguments, deps);
}

}  // namespace

int RefreshStructWith(const char* server, const char* database, const char* user,
                      const char* password, const SlotsyncOptions* options, SlotsyncResult* result,
                      const ClientFactory* makeClient) {
  RunReport report;
  try {
    const std::string problem = CheckArguments({server, database, user, password}, options, result);
    if (!problem.empty()) {
      report.outcome = Outcome::kBadArguments;
      report.message = problem;
    } else {
      report = Run({server, database, user, password}, ReadOptions(options),
                   makeClient != nullptr ? *makeClient : OdbcClientFactory());
    }
  } catch (const std::exception& e) {
    report.outcome = Outcome::kFailedBeforeTransaction;
    report.message = e.what();
  } catch (...) {
    report.outcome = Outcome::kFailedBeforeTransaction;
    report.message = "unknown failure";
  }
  try {
    lastError = report.message;
  } catch (...) {
    lastError.clear();
  }
  if (result != nullptr && result->size >= kSmallestResult) WriteResult(result, report);
  return ToCode(report.outcome);
}

const char* LastError() {
  return lastError.c_str();
}

}  // namespace slotsync::entry
