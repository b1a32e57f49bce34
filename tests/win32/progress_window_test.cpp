// The progress window as the run uses it, and as other programs drive it with
// WM_COPYDATA. One program, two processes: without arguments it owns the
// window and checks it; with "--send" it is the other program, which finds
// the window, sends progress commands and reads the controls back.
//
// An argument naming a .png file saves what the screen shows of the window.

#include "win32_test_support.h"
// windows.h (through the support header) first: commctrl.h builds on it.
#include <commctrl.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "ui/progress_view.h"

using namespace slotsync;
using namespace slotsync::wintest;

namespace {

constexpr const wchar_t* kFormClass = L"TProgress_Frm";

// "正在重构数据库，请稍候..." in GBK: the prompt of the run.
const std::string kGbkRunPrompt =
    "\xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2\xA3\xAC\xC7\xEB\xC9\xD4\xBA\xF2...";
const std::wstring kRunPrompt = L"正在重构数据库，请稍候...";

struct Controls {
  HWND form = nullptr;
  HWND panel = nullptr;
  HWND label = nullptr;
  HWND animate = nullptr;
  HWND bar = nullptr;
};

Controls FindControls(HWND form) {
  Controls c;
  c.form = form;
  c.panel = FindWindowExW(form, nullptr, L"TPanel", nullptr);
  if (c.panel == nullptr) return c;
  c.label = FindWindowExW(c.panel, nullptr, L"Static", nullptr);
  c.animate = FindWindowExW(c.panel, nullptr, ANIMATE_CLASSW, nullptr);
  c.bar = FindWindowExW(c.panel, nullptr, PROGRESS_CLASSW, nullptr);
  return c;
}

LONG_PTR Style(HWND window) {
  return GetWindowLongPtrW(window, GWL_STYLE);
}
LONG_PTR ExStyle(HWND window) {
  return GetWindowLongPtrW(window, GWL_EXSTYLE);
}

// The size a text takes in a window's font, "&" read as the prefix or not.
SIZE TextSize(HWND window, const std::wstring& text, UINT extra) {
  const HDC dc = GetDC(window);
  const HGDIOBJ old =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
  RECT r{};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
            DT_CALCRECT | DT_EXPANDTABS | DT_LEFT | extra);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

bool FontHasChinese(HFONT font) {
  const HDC dc = CreateCompatibleDC(nullptr);
  const HGDIOBJ old = SelectObject(dc, font);
  WORD glyphs[3] = {};
  const DWORD found = GetGlyphIndicesW(dc, L"正在重", 3, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(dc, old);
  DeleteDC(dc);
  return found == 3 && glyphs[0] != 0xFFFF && glyphs[1] != 0xFFFF && glyphs[2] != 0xFFFF;
}

// ---- the second process ---------------------------------------------------

struct BarState {
  LRESULT position;
  LRESULT maximum;
  LRESULT step;
  std::wstring label;
};

BarState ReadState(const Controls& c) {
  BarState s{};
  s.position = SendMessageW(c.bar, PBM_GETPOS, 0, 0);
  s.maximum = SendMessageW(c.bar, PBM_GETRANGE, FALSE, 0);
  // PBM_SETSTEP answers with the step it replaces; put that one back.
  s.step = SendMessageW(c.bar, PBM_SETSTEP, 10, 0);
  SendMessageW(c.bar, PBM_SETSTEP, static_cast<WPARAM>(s.step), 0);
  s.label = TextOf(c.label);
  return s;
}

// Sends `byteCount` bytes of `data` (null for a null pointer); true when the
// window answered with 0 in time.
bool SendCommand(HWND form, const void* data, DWORD byteCount) {
  COPYDATASTRUCT copy{};
  copy.dwData = 0;
  copy.cbData = byteCount;
  copy.lpData = const_cast<void*>(data);
  DWORD_PTR reply = 12345;
  const LRESULT sent = SendMessageTimeoutW(form, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy),
                                           SMTO_NORMAL, 20000, &reply);
  return sent != 0 && reply == 0;
}

// Waits for the error box of the window's thread, reads it and presses OK
// the way a test can: by posting the button's command to the box.
struct BoxWatch {
  DWORD thread;
  HWND form;
  bool seen = false;
  bool ownedByForm = false;
  bool hasIcon = false;
  std::wstring text{};
  std::wstring caption{};
};

BOOL CALLBACK FindIcon(HWND child, LPARAM found) {
  if (HasClass(child, L"Static") && (Style(child) & SS_TYPEMASK) == SS_ICON) {
    *reinterpret_cast<bool*>(found) = true;
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI WatchForBox(void* parameter) {
  auto* watch = static_cast<BoxWatch*>(parameter);
  const HWND box = WaitForMessageBox(watch->thread, 10000);
  if (box == nullptr) return 1;
  watch->seen = true;
  watch->ownedByForm = GetWindow(box, GW_OWNER) == watch->form;
  watch->text = TextOf(GetDlgItem(box, 0xFFFF));
  watch->caption = TextOf(box);
  EnumChildWindows(box, FindIcon, reinterpret_cast<LPARAM>(&watch->hasIcon));
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return 0;
}

int RunSender() {
  // The window can be found before its children exist: wait until it shows.
  HWND form = nullptr;
  for (int i = 0; i < 1000 && (form == nullptr || !IsWindowVisible(form)); ++i) {
    form = FindWindowW(kFormClass, nullptr);
    Sleep(20);
  }
  if (!CHECK(form != nullptr && IsWindowVisible(form))) {
    return slotsync_finish("progress_window_sender");
  }
  const Controls c = FindControls(form);
  if (!CHECK(c.label != nullptr && c.bar != nullptr)) {
    return slotsync_finish("progress_window_sender");
  }
  const DWORD thread = GetWindowThreadProcessId(form, nullptr);

  // The bar at 0 of 0..100 with step 10, the run's prompt.
  BarState expected{0, 100, 10, kRunPrompt};
  const BarState initial = ReadState(c);
  CHECK(initial.position == 0 && initial.maximum == 100 && initial.step == 10);
  CHECK(initial.label == kRunPrompt);

  struct Command {
    const char* name;
    std::string bytes;  // what lies in the sender's memory
    long byteCount;     // cbData; -1: the bytes and their terminator
    bool nullPointer;
    // What the window shows afterwards; -1 and "?" keep the state before.
    LRESULT position;
    LRESULT maximum;
    LRESULT step;
    std::wstring label;
    std::wstring errorBox;  // the error box's text, when one must show
  };
  // "正在重构数据库" in GBK: a prompt that begins with a Chinese character.
  const std::string gbkPrompt = "\xD5\xFD\xD4\xDA\xD6\xD8\xB9\xB9\xCA\xFD\xBE\xDD\xBF\xE2";
  const std::vector<Command> commands = {
      {"step", " ", -1, false, 10, -1, -1, L"?", L""},
      {"step, rest ignored", " 99", -1, false, 20, -1, -1, L"?", L""},
      {"reset, not a negative position", "-50", -1, false, 0, 100, 10, L"?", L""},
      {"decimal with leading zeros", "007", -1, false, 7, -1, -1, L"?", L""},
      {"hexadecimal", "0x1F", -1, false, 31, -1, -1, L"?", L""},
      {"hexadecimal, capital X", "0X20", -1, false, 32, -1, -1, L"?", L""},
      {"plus sign is a prompt", "+5", -1, false, -1, -1, -1, L"+5", L""},
      {"Chinese prompt", gbkPrompt, -1, false, -1, -1, -1, L"正在重构数据库", L""},
      {"percent is no number", "5%", -1, false, -1, -1, -1, L"?", L"'5%' 不是一个正确的数值."},
      {"trailing blank is no number", "12 ", -1, false, -1, -1, -1, L"?",
       L"'12 ' 不是一个正确的数值."},
      {"beyond 32 bits is no number", "99999999999", -1, false, -1, -1, -1, L"?",
       L"'99999999999' 不是一个正确的数值."},
      {"no terminator inside cbData: number", "42XYZ", 2, false, 42, -1, -1, L"?", L""},
      {"no terminator inside cbData: prompt", "Hello world", 5, false, -1, -1, -1, L"Hello", L""},
      {"empty text", "", -1, false, -1, -1, -1, L"?", L""},
      {"no bytes", "abc", 0, false, -1, -1, -1, L"?", L""},
      {"null pointer", "", 0, true, -1, -1, -1, L"?", L""},
      {"zero byte first", std::string(1, '\0') + "77", 3, false, -1, -1, -1, L"?", L""},
      {"position clamped to the maximum", "250", -1, false, 100, -1, -1, L"?", L""},
      {"0xFFFFFFFF is -1, clamped to the minimum", "0xFFFFFFFF", -1, false, 0, -1, -1, L"?", L""},
  };

  for (const Command& command : commands) {
    if (std::strcmp(command.name, "reset, not a negative position") == 0) {
      // Move everything the reset must restore away from its value first.
      SendMessageW(c.bar, PBM_SETRANGE32, 0, 500);
      SendMessageW(c.bar, PBM_SETSTEP, 7, 0);
      SendMessageW(c.bar, PBM_SETPOS, 123, 0);
    }
    BoxWatch watch{thread, form};
    HANDLE watcher = nullptr;
    if (!command.errorBox.empty())
      watcher = CreateThread(nullptr, 0, WatchForBox, &watch, 0, nullptr);

    const DWORD byteCount = command.byteCount < 0 ? static_cast<DWORD>(command.bytes.size() + 1)
                                                  : static_cast<DWORD>(command.byteCount);
    const bool replied =
        SendCommand(form, command.nullPointer ? nullptr : command.bytes.data(), byteCount);
    if (!replied) std::printf("FAILED command \"%s\": no reply 0\n", command.name);
    CHECK(replied);

    if (watcher != nullptr) {
      WaitForSingleObject(watcher, 15000);
      CloseHandle(watcher);
      if (!watch.seen) std::printf("FAILED command \"%s\": no error box\n", command.name);
      CHECK(watch.seen);
      CHECK(watch.text == command.errorBox);
      CHECK(watch.ownedByForm);
      CHECK(watch.hasIcon);
      CHECK(watch.caption == L"progress_window_test");
      if (watch.text != command.errorBox) {
        std::printf("  box text: %s\n", Narrow(watch.text).c_str());
      }
    } else {
      CHECK(WaitForMessageBox(thread, 0) == nullptr);
    }

    if (command.position >= 0) expected.position = command.position;
    if (command.maximum >= 0) expected.maximum = command.maximum;
    if (command.step >= 0) expected.step = command.step;
    if (command.label != L"?") expected.label = command.label;
    const BarState now = ReadState(c);
    const bool same = now.position == expected.position && now.maximum == expected.maximum &&
                      now.step == expected.step && now.label == expected.label;
    if (!same) {
      std::printf("FAILED command \"%s\": position %ld max %ld step %ld label \"%s\"\n",
                  command.name, static_cast<long>(now.position), static_cast<long>(now.maximum),
                  static_cast<long>(now.step), Narrow(now.label).c_str());
    }
    CHECK(same);
  }
  return slotsync_finish("progress_window_sender");
}

// ---- the window's own process ---------------------------------------------

void CheckCreatedWindow(const Controls& c) {
  // Borderless top-level window without title, hidden, client 272 x 68.
  CHECK(c.form != nullptr);
  CHECK(!IsWindowVisible(c.form));
  CHECK(GetParent(c.form) == nullptr && GetWindow(c.form, GW_OWNER) == nullptr);
  const LONG_PTR style = Style(c.form);
  CHECK((style & WS_POPUP) != 0);
  CHECK((style & (WS_CAPTION | WS_BORDER | WS_DLGFRAME | WS_THICKFRAME | WS_SYSMENU)) == 0);
  CHECK((ExStyle(c.form) & (WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE |
                            WS_EX_STATICEDGE | WS_EX_TOPMOST)) == 0);
  CHECK(GetWindowTextLengthW(c.form) == 0);
  RECT client{};
  GetClientRect(c.form, &client);
  CHECK(client.right == 272 && client.bottom == 68);
  RECT frame{};
  GetWindowRect(c.form, &frame);
  CHECK(frame.right - frame.left == 272 && frame.bottom - frame.top == 68);
  CHECK(GetSysColorBrush(COLOR_BTNFACE) != nullptr);

  // Panel1 fills it, flat.
  CHECK(c.panel != nullptr && IsWindowVisible(c.panel) == FALSE);  // hidden with the form
  CHECK((Style(c.panel) & WS_VISIBLE) != 0);
  CHECK(SameRect(RectInParent(c.panel), 0, 0, 272, 68));
  CHECK((ExStyle(c.panel) & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE | WS_EX_WINDOWEDGE)) == 0);
  CHECK((Style(c.panel) & WS_BORDER) == 0);

  // lblPrompt at 64,19 with the initial text, sized to it; "&" is a prefix.
  CHECK(c.label != nullptr && (Style(c.label) & WS_VISIBLE) != 0);
  CHECK((Style(c.label) & SS_NOPREFIX) == 0);
  CHECK((Style(c.label) & SS_TYPEMASK) == SS_LEFTNOWORDWRAP);
  const std::wstring initial = L"正在生成报表数据，请稍候...";
  CHECK(TextOf(c.label) == initial);
  const SIZE size = TextSize(c.label, initial, 0);
  const RECT label = RectInParent(c.label);
  CHECK(SameRect(label, 64, 19, size.cx, size.cy));
  std::printf("label: %ld,%ld %ldx%ld (162x12 with SimSun)\n", label.left, label.top,
              label.right - label.left, label.bottom - label.top);

  // Animate at 8,8 48 x 45, centred and transparent, playing on its own
  // thread (no ACS_TIMER), not playing yet.
  CHECK(c.animate != nullptr && (Style(c.animate) & WS_VISIBLE) != 0);
  CHECK(SameRect(RectInParent(c.animate), 8, 8, 48, 45));
  CHECK((Style(c.animate) & (ACS_CENTER | ACS_TRANSPARENT)) == (ACS_CENTER | ACS_TRANSPARENT));
  CHECK((Style(c.animate) & (ACS_TIMER | ACS_AUTOPLAY)) == 0);

  // Prog_Bar at 1,55 270 x 12, hidden, 0 of 0..100, step 10.
  CHECK(c.bar != nullptr && (Style(c.bar) & WS_VISIBLE) == 0);
  CHECK(SameRect(RectInParent(c.bar), 1, 55, 270, 12));
  CHECK(SendMessageW(c.bar, PBM_GETRANGE, TRUE, 0) == 0);
  CHECK(SendMessageW(c.bar, PBM_GETRANGE, FALSE, 0) == 100);
  CHECK(SendMessageW(c.bar, PBM_GETPOS, 0, 0) == 0);
  CHECK(SendMessageW(c.bar, PBM_SETSTEP, 10, 0) == 10);

  // One font everywhere: GB2312_CHARSET, "宋体", 12 pixels, regular, and
  // one that has the Chinese glyphs (or the prompt shows boxes).
  const auto font = reinterpret_cast<HFONT>(SendMessageW(c.label, WM_GETFONT, 0, 0));
  CHECK(font != nullptr);
  CHECK(reinterpret_cast<HFONT>(SendMessageW(c.form, WM_GETFONT, 0, 0)) == font);
  CHECK(reinterpret_cast<HFONT>(SendMessageW(c.panel, WM_GETFONT, 0, 0)) == font);
  LOGFONTW logFont{};
  CHECK(GetObjectW(font, sizeof logFont, &logFont) == sizeof logFont);
  CHECK(logFont.lfHeight == -12);
  CHECK(logFont.lfWeight == FW_NORMAL && !logFont.lfItalic && !logFont.lfUnderline);
  CHECK(logFont.lfCharSet == GB2312_CHARSET);
  std::printf("font face: %s\n", Narrow(logFont.lfFaceName).c_str());
  CHECK(FontHasChinese(font));
}

void CheckPrompts(ui::ProgressView& view, const Controls& c) {
  // "&" underlines the next character and "&&" shows one "&": the label is
  // measured that way, narrower than the raw text.
  const std::wstring prefixed = L"&Save && go";
  view.SetPrompt("&Save && go");
  CHECK(TextOf(c.label) == prefixed);
  const SIZE drawn = TextSize(c.label, prefixed, 0);
  const SIZE raw = TextSize(c.label, prefixed, DT_NOPREFIX);
  CHECK(drawn.cx < raw.cx);
  CHECK(SameRect(RectInParent(c.label), 64, 19, drawn.cx, drawn.cy));

  // An empty prompt keeps the label one line high.
  view.SetPrompt("");
  CHECK(TextOf(c.label).empty());
  CHECK(RectInParent(c.label).bottom - RectInParent(c.label).top == drawn.cy);

  view.SetPrompt(kGbkRunPrompt);
  CHECK(TextOf(c.label) == kRunPrompt);
}

// Counts pixels of the magenta that our clip's background is keyed with.
int KeyColourPixels(const Image& image) {
  int count = 0;
  for (const std::uint32_t p : image.pixels) count += p == 0xFF00FF ? 1 : 0;
  return count;
}

void CheckShownWindow(ui::ProgressView& view, const Controls& c, const char* screenshot) {
  view.StartAnimation();
  view.Show();
  view.RepaintNow();

  // Shown, centred on the screen and in front.
  CHECK(IsWindowVisible(c.form));
  RECT frame{};
  GetWindowRect(c.form, &frame);
  CHECK(frame.left == (GetSystemMetrics(SM_CXSCREEN) - 272) / 2);
  CHECK(frame.top == (GetSystemMetrics(SM_CYSCREEN) - 68) / 2);
  CHECK(GetForegroundWindow() == c.form);
  CHECK(!IsWindowVisible(c.bar));

  // Repaint now painted everything that was pending.
  view.SetPrompt(kGbkRunPrompt);
  view.RepaintNow();
  CHECK(GetUpdateRect(c.form, nullptr, FALSE) == FALSE);
  CHECK(GetUpdateRect(c.panel, nullptr, FALSE) == FALSE);
  CHECK(GetUpdateRect(c.label, nullptr, FALSE) == FALSE);

  // The clip moves by itself while this thread handles no message at all, as
  // the run's thread does while it rebuilds.
  RECT clip{};
  GetWindowRect(c.animate, &clip);
  Sleep(300);
  const Image first = CaptureScreen(clip);
  bool moved = false;
  for (int i = 0; i < 10 && !moved; ++i) {
    Sleep(150);
    moved = !(CaptureScreen(clip) == first);
  }
  CHECK(moved);

  const Image window = CaptureWindow(c.form);
  // The clip's background became the panel's colour.
  CHECK(KeyColourPixels(window) == 0);
  // The prompt is drawn: dark text pixels inside the label.
  const RECT label = RectInParent(c.label);
  int dark = 0;
  for (int y = label.top; y < label.bottom; ++y) {
    for (int x = label.left; x < label.right; ++x) {
      const std::uint32_t p = window.At(x, y);
      if (((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) < 3 * 96) ++dark;
    }
  }
  CHECK(dark > 100);
  // Outside the controls the panel is flat button face.
  const std::uint32_t face = GetSysColor(COLOR_BTNFACE);
  const std::uint32_t faceRgb = ((face & 0xFF) << 16) | (face & 0xFF00) | ((face >> 16) & 0xFF);
  CHECK(window.At(0, 0) == faceRgb && window.At(271, 67) == faceRgb &&
        window.At(150, 60) == faceRgb);

  if (screenshot != nullptr) {
    const bool saved = WritePng(window, screenshot);
    CHECK(saved);
    if (saved) std::printf("screenshot: %s\n", screenshot);
  }
}

void CheckCopyDataInProcess(const Controls& c) {
  // The bytes after cbData are not the sender's: here they would turn the
  // valid "42" into an invalid number.
  const char bytes[] = "42XYZ";
  COPYDATASTRUCT copy{0, 2, const_cast<char*>(bytes)};
  CHECK(SendMessageW(c.form, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy)) == 0);
  CHECK(SendMessageW(c.bar, PBM_GETPOS, 0, 0) == 42);
  // No COPYDATASTRUCT at all is no command either.
  CHECK(SendMessageW(c.form, WM_COPYDATA, 0, 0) == 0);
  const char reset[] = "-";
  COPYDATASTRUCT resetCopy{0, sizeof reset, const_cast<char*>(reset)};
  CHECK(SendMessageW(c.form, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&resetCopy)) == 0);
  CHECK(SendMessageW(c.bar, PBM_GETPOS, 0, 0) == 0);
}

void CheckQuitSurvives(ui::ProgressView& view) {
  // The host's own WM_QUIT is left for the host's loop.
  PostQuitMessage(3);
  view.ProcessPendingMessages();
  MSG message{};
  CHECK(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0);
  CHECK(message.message == WM_QUIT && message.wParam == 3);
}

// The other process sends its commands while this thread does what the run
// does at its end: one round of pending messages at a time.
void RunSenderProcess(ui::ProgressView& view) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --send";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::fflush(stdout);
  if (!CHECK(CreateProcessW(self, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process))) {
    return;
  }
  const ULONGLONG deadline = GetTickCount64() + 120000;
  while (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT && GetTickCount64() < deadline) {
    MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, 100, QS_ALLINPUT);
    view.ProcessPendingMessages();
  }
  DWORD exitCode = 1;
  if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
    std::printf("FAILED the sender did not finish in time\n");
    TerminateProcess(process.hProcess, 1);
  } else {
    GetExitCodeProcess(process.hProcess, &exitCode);
  }
  CHECK(exitCode == 0);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

int RunOwner(const char* screenshot) {
  const DWORD thread = GetCurrentThreadId();
  {
    std::unique_ptr<ui::ProgressView> view = ui::MakeDefaultProgressView();
    const HWND form = FindThreadWindow(thread, [](HWND w) { return HasClass(w, kFormClass); });
    const Controls c = FindControls(form);
    CheckCreatedWindow(c);
    if (c.label == nullptr || c.bar == nullptr || c.animate == nullptr) {
      return slotsync_finish("progress_window_test");
    }
    CheckPrompts(*view, c);
    CheckShownWindow(*view, c, screenshot);
    CheckCopyDataInProcess(c);
    CheckQuitSurvives(*view);
    RunSenderProcess(*view);
  }
  // Destroyed: no window of ours left, the window classes unregistered.
  CHECK(FindThreadWindow(thread, [](HWND w) { return HasClass(w, kFormClass); }) == nullptr);
  WNDCLASSEXW info{};
  info.cbSize = sizeof info;
  CHECK(GetClassInfoExW(GetModuleHandleW(nullptr), kFormClass, &info) == FALSE);
  CHECK(GetClassInfoExW(GetModuleHandleW(nullptr), L"TPanel", &info) == FALSE);

  // A second window in the same process works as the first (classes again).
  {
    std::unique_ptr<ui::ProgressView> again = ui::MakeDefaultProgressView();
    CHECK(FindThreadWindow(thread, [](HWND w) { return HasClass(w, kFormClass); }) != nullptr);
  }
  CHECK(CountThreadWindows(thread) == 0);
  return slotsync_finish("progress_window_test");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--send") == 0) return RunSender();
  return RunOwner(argc > 1 ? argv[1] : nullptr);
}
