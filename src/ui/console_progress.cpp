#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "text/gbk.h"
#include "ui/console_line.h"
#include "ui/console_progress.h"

namespace slotsync::ui {
namespace {

constexpr char kSpinner[] = {'|', '/', '-', '\\'};
constexpr const char* kClearToEnd = "\x1b[K";

class ConsoleProgressView final : public ProgressView {
 public:
  ConsoleProgressView(std::ostream& out, bool isTerminal, std::chrono::milliseconds interval)
      : out_(out), isTerminal_(isTerminal), interval_(interval) {}

  ~ConsoleProgressView() override {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (spinner_.joinable()) spinner_.join();
    const std::lock_guard lock(mutex_);
    if (isTerminal_ && shown_) {
      out_ << '\r' << kClearToEnd << std::flush;
      SetSpinnerDrawnOn(nullptr);
    }
  }
  ConsoleProgressView(const ConsoleProgressView&) = delete;
  ConsoleProgressView& operator=(const ConsoleProgressView&) = delete;

  void SetPrompt(const std::string& gbkText) override {
    const std::lock_guard lock(mutex_);
    prompt_ = text::GbkToTerminal(gbkText);
    if (isTerminal_ && shown_) DrawLocked();
  }

  void StartAnimation() override {
    const std::lock_guard lock(mutex_);
    animating_ = true;
    StartSpinnerLocked();
  }

  void Show() override {
    const std::lock_guard lock(mutex_);
    if (shown_) return;
    shown_ = true;
    if (!isTerminal_) {
      out_ << "slotsync: " << prompt_ << std::endl;
      return;
    }
    DrawLocked();
    StartSpinnerLocked();
  }

  void RepaintNow() override {
    const std::lock_guard lock(mutex_);
    if (isTerminal_ && shown_) DrawLocked();
  }

  // A terminal has no messages to handle.
  void ProcessPendingMessages() override {}

 private:
  void DrawLocked() {
    out_ << '\r' << kSpinner[frame_ % sizeof kSpinner] << ' ' << prompt_ << kClearToEnd
         << std::flush;
    SetSpinnerDrawnOn(&out_);
  }

  // The spinner turns only once the line is on the terminal and the
  // animation was asked for, whichever of the two comes last.
  void StartSpinnerLocked() {
    if (!isTerminal_ || !shown_ || !animating_ || spinner_.joinable()) return;
    spinner_ = std::thread([this] { Spin(); });
  }

  void Spin() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
      ++frame_;
      DrawLocked();
    }
  }

  std::ostream& out_;
  const bool isTerminal_;
  const std::chrono::milliseconds interval_;

  // Shared with every other writer to the terminal (ui/console_line.h);
  // guards everything below and every write to out_.
  std::mutex& mutex_ = ConsoleLineMutex();
  std::condition_variable wake_;
  std::string prompt_;
  bool shown_ = false;
  bool animating_ = false;
  bool stopping_ = false;
  unsigned frame_ = 0;
  std::thread spinner_;  // last: joined in the destructor before the rest goes
};

}  // namespace

std::unique_ptr<ProgressView> MakeConsoleProgressView(std::ostream& out, bool isTerminal,
                                                      std::chrono::milliseconds interval) {
  return std::make_unique<ConsoleProgressView>(out, isTerminal, interval);
}

}  // namespace slotsync::ui
