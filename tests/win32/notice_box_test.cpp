// The notice box: a message box without owner, captioned "提示信息", while
// every other window of the thread is disabled; afterwards exactly those are
// enabled again and the active window is active again.

#include <string>
#include <vector>

#include "check.h"
#include "ui/notice.h"
#include "win32_test_support.h"

using namespace slotsync;
using namespace slotsync::wintest;

namespace {

// The notice of the detail rebuild, in GBK: "尺码组包含尺码数量变少，配码需相应修改",
// a carriage return, "不能自动修改，请联系供货商进行修改".
const std::string kGbkNotice =
    "\xB3\xDF\xC2\xEB\xD7\xE9\xB0\xFC\xBA\xAC\xB3\xDF\xC2\xEB\xCA\xFD\xC1\xBF\xB1\xE4\xC9\xD9"
    "\xA3\xAC\xC5\xE4\xC2\xEB\xD0\xE8\xCF\xE0\xD3\xA6\xD0\xDE\xB8\xC4\r"
    "\xB2\xBB\xC4\xDC\xD7\xD4\xB6\xAF\xD0\xDE\xB8\xC4\xA3\xAC\xC7\xEB\xC1\xAA\xCF\xB5\xB9\xA9"
    "\xBB\xF5\xC9\xCC\xBD\xF8\xD0\xD0\xD0\xDE\xB8\xC4";
const std::wstring kNotice =
    L"尺码组包含尺码数量变少，配码需相应修改\r不能自动修改，请联系供货商进行修改";

struct Windows {
  HWND active;    // visible, enabled, active: disabled during the box
  HWND second;    // visible, enabled: disabled during the box
  HWND disabled;  // visible but disabled before: stays disabled
  HWND hidden;    // hidden: left alone
};

// What the box showed while it was open, and the button the test pressed.
struct Watch {
  DWORD thread;
  Windows windows;
  WPARAM button;
  bool seen = false;
  bool noOwner = false;
  bool othersDisabled = false;
  std::wstring caption{};
  std::wstring text{};
};

DWORD WINAPI PressButton(void* parameter) {
  auto* watch = static_cast<Watch*>(parameter);
  const HWND box = WaitForMessageBox(watch->thread, 10000);
  if (box == nullptr) return 1;
  watch->seen = true;
  watch->noOwner = GetWindow(box, GW_OWNER) == nullptr;
  const Windows& w = watch->windows;
  watch->othersDisabled = !IsWindowEnabled(w.active) && !IsWindowEnabled(w.second) &&
                          !IsWindowEnabled(w.disabled) && IsWindowEnabled(w.hidden);
  watch->caption = TextOf(box);
  watch->text = TextOf(GetDlgItem(box, 0xFFFF));
  PostMessageW(box, WM_COMMAND, watch->button, 0);
  return 0;
}

HWND MakeWindow(const wchar_t* title, bool visible) {
  const HWND window = CreateWindowExW(0, L"STATIC", title, WS_OVERLAPPEDWINDOW, 10, 10, 200, 100,
                                      nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (visible) ShowWindow(window, SW_SHOW);
  return window;
}

}  // namespace

int main() {
  Windows w{};
  w.hidden = MakeWindow(L"hidden", false);
  w.disabled = MakeWindow(L"disabled", true);
  EnableWindow(w.disabled, FALSE);
  w.second = MakeWindow(L"second", true);
  w.active = MakeWindow(L"active", true);
  SetActiveWindow(w.active);
  CHECK(GetActiveWindow() == w.active);

  const std::unique_ptr<ui::NoticeBox> notices = ui::MakeDefaultNoticeBox();
  struct Case {
    const char* name;
    unsigned flags;
    WPARAM button;  // what the test presses
    int result;     // what ShowNotice returns
  };
  const Case cases[] = {
      {"information, OK", MB_ICONINFORMATION, IDOK, 1},
      {"OK and Cancel, Cancel", MB_OKCANCEL | MB_ICONINFORMATION, IDCANCEL, 2},
      {"Yes and No, No", MB_YESNO | MB_ICONQUESTION, IDNO, 7},
  };
  for (const Case& c : cases) {
    Watch watch{GetCurrentThreadId(), w, c.button};
    const HANDLE presser = CreateThread(nullptr, 0, PressButton, &watch, 0, nullptr);
    const int result = notices->ShowNotice(kGbkNotice, c.flags);
    WaitForSingleObject(presser, 15000);
    CloseHandle(presser);
    if (result != c.result) std::printf("FAILED %s: returned %d\n", c.name, result);
    CHECK(result == c.result);
    CHECK(watch.seen);
    CHECK(watch.noOwner);
    CHECK(watch.othersDisabled);
    CHECK(watch.caption == L"提示信息");
    CHECK(watch.text == kNotice);
    // Afterwards: enabled again exactly where it was enabled, active again.
    CHECK(IsWindowEnabled(w.active) && IsWindowEnabled(w.second) && IsWindowEnabled(w.hidden));
    CHECK(!IsWindowEnabled(w.disabled));
    CHECK(GetActiveWindow() == w.active);
    CHECK(WaitForMessageBox(GetCurrentThreadId(), 0) == nullptr);
  }

  // Flags that name no valid box (button type 7): Windows refuses the box
  // and MessageBox fails, Wine may show one anyway. Either way every window
  // is left as it was.
  {
    Watch watch{GetCurrentThreadId(), w, IDOK};
    const HANDLE presser = CreateThread(nullptr, 0, PressButton, &watch, 0, nullptr);
    const int result = notices->ShowNotice(kGbkNotice, MB_ICONINFORMATION | 0x7);
    WaitForSingleObject(presser, 15000);
    CloseHandle(presser);
    std::printf("invalid button type: %s, result %d\n", watch.seen ? "box shown" : "no box",
                result);
    CHECK(IsWindowEnabled(w.active) && IsWindowEnabled(w.second) && IsWindowEnabled(w.hidden));
    CHECK(!IsWindowEnabled(w.disabled));
    CHECK(GetActiveWindow() == w.active);
  }

  for (const HWND window : {w.active, w.second, w.disabled, w.hidden}) DestroyWindow(window);
  return slotsync_finish("notice_box_test");
}
