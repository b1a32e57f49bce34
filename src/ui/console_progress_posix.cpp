#include <iostream>

#include "text/gbk.h"
#include "ui/progress_view.h"

namespace slotsync::ui {
namespace {

// Where there is no window system of ours, the run's prompt goes to the
// standard error stream once, when the window would be shown.
class ConsoleProgressView final : public ProgressView {
 public:
  void SetPrompt(const std::string& gbkText) override { prompt_ = gbkText; }
  void StartAnimation() override {}
  void Show() override {
    if (!shown_) std::cerr << "slotsync: " << text::GbkToTerminal(prompt_) << std::endl;
    shown_ = true;
  }
  void RepaintNow() override {}
  void ProcessPendingMessages() override {}

 private:
  std::string prompt_;
  bool shown_ = false;
};

}  // namespace

std::unique_ptr<ProgressView> MakeDefaultProgressView() {
  return std::make_unique<ConsoleProgressView>();
}

}  // namespace slotsync::ui
