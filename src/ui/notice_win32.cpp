#include "platform/win32_api.h"

#include <vector>

#include "ui/notice.h"
#include "ui/wide_text_win32.h"

namespace slotsync::ui {
namespace {

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM list) {
  if (IsWindowVisible(window) && IsWindowEnabled(window)) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  }
  return TRUE;
}

// The box has no owner, so nothing of the host's would stop the user from
// clicking into its other windows while the run's transaction waits on the
// answer: every window of this thread that could take input is disabled for
// the length of the box, and afterwards exactly those are enabled again and
// the window that was active gets the focus back.
class ThreadWindowsDisabled {
 public:
  ThreadWindowsDisabled() : active_(GetActiveWindow()) {
    EnumThreadWindows(GetCurrentThreadId(), CollectEnabledWindow,
                      reinterpret_cast<LPARAM>(&disabled_));
    for (const HWND window : disabled_) EnableWindow(window, FALSE);
  }
  // Runs however the box ended, a failure to show it included.
  ~ThreadWindowsDisabled() {
    for (const HWND window : disabled_) {
      if (IsWindow(window)) EnableWindow(window, TRUE);
    }
    if (active_ != nullptr && IsWindow(active_)) SetActiveWindow(active_);
  }
  ThreadWindowsDisabled(const ThreadWindowsDisabled&) = delete;
  ThreadWindowsDisabled& operator=(const ThreadWindowsDisabled&) = delete;

 private:
  const HWND active_;
  std::vector<HWND> disabled_;
};

class MessageNoticeBox final : public NoticeBox {
 public:
  int ShowNotice(const std::string& gbkText, unsigned flags) override {
    const std::wstring text = WideFromGbk(gbkText);
    const std::wstring caption = WideFromGbk(kNoticeCaption);
    const ThreadWindowsDisabled disabled;
    return MessageBoxW(nullptr, text.c_str(), caption.c_str(), flags);
  }
};

}  // namespace

std::unique_ptr<NoticeBox> MakeDefaultNoticeBox() {
  return std::make_unique<MessageNoticeBox>();
}

}  // namespace slotsync::ui
