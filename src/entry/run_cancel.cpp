#include "entry/run_cancel.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "sql/sql_error.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

class CancellableConnection;

std::mutex currentMutex;
CancellableConnection* current = nullptr;  // guarded by currentMutex
// A cancel that came before the run had its client: the run starts cancelled.
bool pending = false;  // guarded by currentMutex
std::atomic<bool> cancelled{false};
std::atomic<StopReason> reason{StopReason::kNone};
std::atomic<bool> cleaningUp{false};  // a CleanUpAfterCancel lives
StopReason pendingReason = StopReason::kNone;  // guarded by currentMutex
int callsInProgress = 0;                       // guarded by currentMutex

// Passes every call on, refusing those that would carry the run further once
// it is cancelled. Rollback and Disconnect always go through.
class CancellableConnection final : public sql::Connection {
 public:
  explicit CancellableConnection(std::unique_ptr<sql::Connection> client)
      : client_(std::move(client)) {
    const std::lock_guard lock(currentMutex);
    cancelled = std::exchange(pending, false);
    reason = cancelled ? pendingReason : StopReason::kNone;
    current = this;
  }
  ~CancellableConnection() override {
    const std::lock_guard lock(currentMutex);
    if (current == this) current = nullptr;
  }
  CancellableConnection(const CancellableConnection&) = delete;
  CancellableConnection& operator=(const CancellableConnection&) = delete;

  void Connect() override {
    RefuseIfCancelled();
    client_->Connect();
  }
  bool IsConnected() const override { return client_->IsConnected(); }
  void Disconnect() override { client_->Disconnect(); }
  sql::ResultSet Query(const std::string& statement) override {
    RefuseIfCancelled();
    return client_->Query(statement);
  }
  sql::ResultSet QueryByPosition(const std::string& statement) override {
    RefuseIfCancelled();
    return client_->QueryByPosition(statement);
  }
  void Execute(const std::string& statement) override {
    RefuseIfCancelled();
    client_->Execute(statement);
  }
  void StartTransaction() override {
    RefuseIfCancelled();
    client_->StartTransaction();
  }
  void Commit() override {
    RefuseIfCancelled();
    client_->Commit();
  }
  void Rollback() override { client_->Rollback(); }
  void Cancel() override { client_->Cancel(); }
  std::vector<sql::Diagnostic> TakeWarnings() override { return client_->TakeWarnings(); }

 private:
  static void RefuseIfCancelled() {
    if (!cancelled || cleaningUp) return;
    throw sql::SqlError({sql::Diagnostic{"HY008", 0,
                                         reason == StopReason::kOutputFailed
                                             ? text::Tr("the run was stopped: its output could not "
                                                        "be written (a closed pipe, a full disk)")
                                             : text::Tr("the run was interrupted")}});
  }

  std::unique_ptr<sql::Connection> client_;
};

// Under currentMutex. The first reason given stands: an interrupt that
// follows a failed write does not make it an interrupted run.
void CancelLocked(StopReason why) {
  if (current == nullptr) {
    if (!pending) pendingReason = why;
    pending = true;
    return;
  }
  if (!cancelled.exchange(true)) reason = why;
  current->Cancel();
}

}  // namespace

void CancelRun(StopReason why) {
  const std::lock_guard lock(currentMutex);
  CancelLocked(why);
}

bool CancelRunInProgress() {
  const std::lock_guard lock(currentMutex);
  if (callsInProgress == 0) return false;
  CancelLocked(StopReason::kInterrupted);
  return true;
}

RunInProgress::RunInProgress() {
  const std::lock_guard lock(currentMutex);
  ++callsInProgress;
}

RunInProgress::~RunInProgress() {
  const std::lock_guard lock(currentMutex);
  if (--callsInProgress == 0) pending = false;
}

CleanUpAfterCancel::CleanUpAfterCancel() {
  cleaningUp = true;
}

CleanUpAfterCancel::~CleanUpAfterCancel() {
  cleaningUp = false;
}

bool RunWasCancelled() {
  return cancelled;
}

StopReason RunStopReason() {
  return cancelled ? reason.load() : StopReason::kNone;
}

std::unique_ptr<sql::Connection> Cancellable(std::unique_ptr<sql::Connection> client) {
  return std::make_unique<CancellableConnection>(std::move(client));
}

}  // namespace slotsync::entry
