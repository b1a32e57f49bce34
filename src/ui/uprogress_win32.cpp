// UProgress: the progress window TProgress_Frm that a restructure run shows
// while it rebuilds, and the progress commands it takes through WM_COPYDATA.

#include "platform/win32_api.h"
// windows.h first: the common controls header builds on it.
#include <commctrl.h>

#include <stdexcept>
#include <string>

#include "text/messages.h"
#include "ui/progress_command.h"
#include "ui/progress_resources.h"
#include "ui/progress_view.h"
#include "ui/wide_text_win32.h"

namespace slotsync::ui {
namespace {

constexpr const wchar_t* kFormClass = L"TProgress_Frm";
constexpr const wchar_t* kPanelClass = L"TPanel";

// The window's data, in pixels at 96 pixels per inch.
constexpr int kFormStoredLeft = 257;  // replaced by the screen centre when shown
constexpr int kFormStoredTop = 257;
constexpr int kClientWidth = 272;
constexpr int kClientHeight = 68;
// The label's size follows its text; 162 x 12 is what the initial text
// takes in the window's font.
constexpr RECT kLabel = {64, 19, 64 + 162, 19 + 12};
constexpr RECT kAnimate = {8, 8, 8 + 48, 8 + 45};
constexpr RECT kProgressBar = {1, 55, 1 + 270, 55 + 12};

constexpr int kLabelId = 1;
constexpr int kAnimateId = 2;
constexpr int kProgressBarId = 3;

// "正在生成报表数据，请稍候..." in GBK: the label's text until the run sets its own.
constexpr const char* kInitialPrompt =
    "\xD5\xFD\xD4\xDA\xC9\xFA\xB3\xC9\xB1\xA8\xB1\xED\xCA\xFD\xBE\xDD"  // 正在生成报表数据
    "\xA3\xAC\xC7\xEB\xC9\xD4\xBA\xF2...";                              // ，请稍候...
// "宋体" in GBK, the face of the window's font.
constexpr const char* kFontFace = "\xCB\xCE\xCC\xE5";
constexpr int kFontHeight = -12;  // characters 12 pixels high: 9 points at 96 pixels per inch

// Where the named face is missing (an English Windows without the East Asian
// fonts, Wine without them), the first of these that has Chinese glyphs.
constexpr const wchar_t* kFallbackFaces[] = {
    L"SimSun",  L"NSimSun",           L"Microsoft YaHei",  L"SimHei",
    L"MS Song", L"WenQuanYi Zen Hei", L"Noto Sans CJK SC", L"Arial Unicode MS",
};

// The standard find-computer clip (aviFindComputer) is this AVI resource of
// shell32; the window plays its frames 1 to 8, the control's 0 to 7.
constexpr WORD kFindComputerClip = 152;
constexpr WORD kFirstFrame = 0;
constexpr WORD kLastFrame = 7;

// The animation and progress bar classes, from the system folder's
// comctl32.dll only: an import of it would be resolved from the host
// application's folder first, where a planted comctl32.dll would then run
// inside the host. Kept loaded for the process, as an import would be: the
// classes it registers outlive any one window. Without it the controls are
// not created and the window says so.
void InitCommonControlsFromSystem() {
  static const HMODULE comctl32 =
      LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (comctl32 == nullptr) return;
  using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const FARPROC found = GetProcAddress(comctl32, "InitCommonControlsEx");
  if (found == nullptr) return;
  // Through void(*)(), which GCC lets any function pointer be cast to and from.
  const auto init = reinterpret_cast<Init>(reinterpret_cast<void (*)()>(found));
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_ANIMATE_CLASS | ICC_PROGRESS_CLASS};
  init(&controls);
}

HINSTANCE ThisModule() {
  // Any address inside this module finds it: the DLL in a host program, the
  // program itself where the library is linked in statically.
  static const int anchor = 0;
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&anchor), &module);
  return module;
}

// The module's file name without folder and extension: the caption of the
// error box, as the host's runtime titles its boxes with the program's name.
std::wstring ModuleTitle(HINSTANCE module) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  std::wstring name(path, length);
  const std::size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  const std::size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos && dot > 0) name.erase(dot);
  return name;
}

// `what` is translated here: a step marked N_, or the name of a function.
[[noreturn]] void ThrowLastError(const char* what) {
  // Read first: the translation may call the system and set another error.
  const DWORD error = GetLastError();
  throw std::runtime_error(text::TrFormat(
      // TRANSLATORS: %s is the step that failed ("creating the window") or a Windows function.
      "progress window: %s failed (error %d)", text::Tr(what), error));
}

bool RendersChinese(HFONT font) {
  const HDC dc = CreateCompatibleDC(nullptr);
  if (dc == nullptr) return false;
  const HGDIOBJ old = SelectObject(dc, font);
  WORD glyphs[2] = {};
  const DWORD found = GetGlyphIndicesW(dc, L"\x6B63\x5728", 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(dc, old);
  DeleteDC(dc);
  return found == 2 && glyphs[0] != 0xFFFF && glyphs[1] != 0xFFFF;
}

HFONT CreateFaceFont(const wchar_t* face) {
  return CreateFontW(kFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, face);
}

// The window's font: GB2312_CHARSET, "宋体", 12 pixels. Without Chinese
// glyphs in it every character of the prompt would show as a box, so where
// the font mapper found nothing with them we try the usual Chinese faces.
HFONT CreateWindowFont() {
  const std::wstring face = WideFromGbk(kFontFace);
  const HFONT named = CreateFaceFont(face.c_str());
  if (named == nullptr || RendersChinese(named)) return named;
  for (const wchar_t* fallback : kFallbackFaces) {
    const HFONT font = CreateFaceFont(fallback);
    if (font != nullptr && RendersChinese(font)) {
      DeleteObject(named);
      return font;
    }
    if (font != nullptr) DeleteObject(font);
  }
  return named;  // nothing better here: the named font shows at least the ASCII
}

class TProgress_Frm final : public ProgressView {
 public:
  TProgress_Frm() : module_(ThisModule()) {
    try {
      Create();
    } catch (...) {
      Release();
      throw;
    }
  }
  ~TProgress_Frm() override { Release(); }
  TProgress_Frm(const TProgress_Frm&) = delete;
  TProgress_Frm& operator=(const TProgress_Frm&) = delete;

  void SetPrompt(const std::string& gbkText) override { SetLabelText(WideFromGbk(gbkText)); }

  void StartAnimation() override {
    if (Play()) return;
    // The system's clip cannot play our frames (Wine's shell32 holds a
    // two-frame placeholder), or it could not be opened: our own clip.
    if (OpenOwnClip()) Play();
  }

  void Show() override {
    RECT frame{};
    GetWindowRect(form_, &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(form_, HWND_TOP, left, top, 0, 0, SWP_NOSIZE);
    ShowWindow(form_, SW_SHOW);
    BringWindowToTop(form_);
    SetForegroundWindow(form_);
  }

  // Paints the whole window before returning, without handling any other
  // message: the run handles none while it rebuilds.
  void RepaintNow() override {
    RedrawWindow(form_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  }

  void ProcessPendingMessages() override {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        // The host asked its own loop to end; it must still see that.
        PostQuitMessage(static_cast<int>(message.wParam));
        break;
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

 private:
  void Create() {
    InitCommonControlsFromSystem();
    RegisterClasses();

    font_ = CreateWindowFont();
    if (font_ == nullptr) ThrowLastError("CreateFont");

    // Borderless and without a title bar, so the client area is the whole
    // window.
    form_ = CreateWindowExW(0, kFormClass, L"", WS_POPUP | WS_CLIPCHILDREN, kFormStoredLeft,
                            kFormStoredTop, kClientWidth, kClientHeight, nullptr, nullptr, module_,
                            this);
    if (form_ == nullptr) ThrowLastError(N_("creating the window"));
    panel1_ = CreateChild(0, kPanelClass, form_, WS_VISIBLE | WS_CLIPSIBLINGS,
                          RECT{0, 0, kClientWidth, kClientHeight}, 0);
    // A static control without SS_NOPREFIX: "&" underlines the next character.
    lblPrompt_ =
        CreateChild(0, L"STATIC", panel1_, WS_VISIBLE | SS_LEFTNOWORDWRAP, kLabel, kLabelId);
    // Without ACS_TIMER the control plays on a thread of its own, so the clip
    // keeps moving while the run's thread handles no messages.
    animate_ = CreateChild(0, ANIMATE_CLASSW, panel1_, WS_VISIBLE | ACS_CENTER | ACS_TRANSPARENT,
                           kAnimate, kAnimateId);
    progBar_ = CreateChild(0, PROGRESS_CLASSW, panel1_, 0, kProgressBar, kProgressBarId);

    for (const HWND window : {form_, panel1_, lblPrompt_, animate_, progBar_}) {
      SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }
    ResetProgressBar();
    SetLabelText(WideFromGbk(kInitialPrompt));
    OpenSystemClip();
  }

  void Release() {
    // Destroying the window destroys its children; the animation control
    // stops its thread and lets go of the clip before the module goes.
    if (form_ != nullptr) DestroyWindow(form_);
    form_ = nullptr;
    // A DLL's window classes outlive it unless it unregisters them.
    UnregisterClassW(kFormClass, module_);
    UnregisterClassW(kPanelClass, module_);
    if (font_ != nullptr) DeleteObject(font_);
    font_ = nullptr;
    if (shell_ != nullptr) FreeLibrary(shell_);
    shell_ = nullptr;
  }

  void RegisterClasses() {
    WNDCLASSEXW form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = &TProgress_Frm::FormProc;
    form.hInstance = module_;
    form.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    form.lpszClassName = kFormClass;
    if (!RegisterClassExW(&form) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      ThrowLastError(N_("registering the window class"));
    }
    WNDCLASSEXW panel = form;
    panel.lpfnWndProc = &TProgress_Frm::PanelProc;
    panel.lpszClassName = kPanelClass;
    if (!RegisterClassExW(&panel) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      ThrowLastError(N_("registering the panel class"));
    }
  }

  HWND CreateChild(DWORD exStyle, const wchar_t* windowClass, HWND parent, DWORD style,
                   const RECT& place, int id) {
    const HWND child =
        CreateWindowExW(exStyle, windowClass, nullptr, WS_CHILD | style, place.left, place.top,
                        place.right - place.left, place.bottom - place.top, parent,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), module_, this);
    if (child == nullptr) ThrowLastError(N_("creating a child window"));
    return child;
  }

  void ResetProgressBar() {
    SendMessageW(progBar_, PBM_SETPOS, static_cast<WPARAM>(kProgressMin), 0);
    SendMessageW(progBar_, PBM_SETRANGE32, static_cast<WPARAM>(kProgressMin),
                 static_cast<LPARAM>(kProgressMax));
    SendMessageW(progBar_, PBM_SETSTEP, static_cast<WPARAM>(kProgressStep), 0);
  }

  // The label is sized to its text, measured as it is drawn: in its own font,
  // with "&" as the accelerator prefix. An empty text keeps the height of a
  // line, as a blank would.
  void SetLabelText(const std::wstring& text) {
    SetWindowTextW(lblPrompt_, text.c_str());
    const std::wstring measured = text.empty() || text == L"&" ? text + L" " : text;
    RECT size{};
    const HDC dc = GetDC(lblPrompt_);
    const HGDIOBJ old = SelectObject(dc, font_);
    DrawTextW(dc, measured.c_str(), static_cast<int>(measured.size()), &size,
              DT_CALCRECT | DT_EXPANDTABS | DT_LEFT);
    SelectObject(dc, old);
    ReleaseDC(lblPrompt_, dc);
    SetWindowPos(lblPrompt_, nullptr, 0, 0, size.right - size.left, size.bottom - size.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  void OpenSystemClip() {
    wchar_t path[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH - 16) {
      std::wstring shell32(path, length);
      shell32 += L"\\shell32.dll";
      // Only its resources are needed: no code of shell32 runs for them.
      shell_ = LoadLibraryExW(shell32.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    const bool opened =
        shell_ != nullptr &&
        SendMessageW(animate_, ACM_OPENW, reinterpret_cast<WPARAM>(shell_),
                     reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(kFindComputerClip))) != 0;
    if (!opened) OpenOwnClip();
  }

  bool OpenOwnClip() {
    return SendMessageW(animate_, ACM_OPENW, reinterpret_cast<WPARAM>(module_),
                        reinterpret_cast<LPARAM>(MAKEINTRESOURCEW(SLOTSYNC_SEARCH_CLIP))) != 0;
  }

  // Frames 1 to 8 over and over, until the window is destroyed.
  bool Play() {
    return SendMessageW(animate_, ACM_PLAY, static_cast<WPARAM>(-1),
                        MAKELPARAM(kFirstFrame, kLastFrame)) != 0;
  }

  // A progress command from another program. The reply is always 0.
  void OnCopyData(const COPYDATASTRUCT* data) {
    const ProgressCommand command =
        data != nullptr ? ParseProgressCommand(data->lpData, data->cbData) : ProgressCommand{};
    switch (command.kind) {
      case ProgressCommandKind::kNone:
        return;
      case ProgressCommandKind::kStep:
        SendMessageW(progBar_, PBM_STEPIT, 0, 0);
        break;
      case ProgressCommandKind::kReset:
        ResetProgressBar();
        break;
      case ProgressCommandKind::kPosition:
        // The control takes the position as an int and clamps it to its range.
        SendMessageW(progBar_, PBM_SETPOS, static_cast<WPARAM>(command.position), 0);
        break;
      case ProgressCommandKind::kPrompt:
        SetPrompt(command.text);
        break;
      case ProgressCommandKind::kInvalidNumber: {
        // Nothing changes and nothing is repainted; the sender waits until
        // the box is closed.
        const std::wstring text = WideFromGbk(command.text);
        const std::wstring caption = ModuleTitle(module_);
        MessageBoxW(form_, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
        return;
      }
    }
    RepaintNow();
  }

  static TProgress_Frm* From(HWND window) {
    return reinterpret_cast<TProgress_Frm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  }

  static void Attach(HWND window, LPARAM createParameters) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(createParameters);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }

  static LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) Attach(window, lParam);
    TProgress_Frm* self = From(window);
    switch (message) {
      case WM_COPYDATA:
        if (self != nullptr) self->OnCopyData(reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        return 0;
      case WM_GETFONT:
        return self != nullptr ? reinterpret_cast<LRESULT>(self->font_) : 0;
      case WM_CLOSE:
        // The run alone ends the window's life (Alt+F4 must not pull it
        // from under the run).
        return 0;
      case WM_NCDESTROY:
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
      default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  // Panel1: a flat panel in the button face colour, carrying the controls.
  static LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) Attach(window, lParam);
    TProgress_Frm* self = From(window);
    switch (message) {
      case WM_CTLCOLORSTATIC: {
        // The label's colours, and the background the transparent clip is
        // drawn on.
        const auto dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
      }
      case WM_GETFONT:
        return self != nullptr ? reinterpret_cast<LRESULT>(self->font_) : 0;
      case WM_NCDESTROY:
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
      default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
  }

  const HINSTANCE module_;
  HMODULE shell_ = nullptr;
  HFONT font_ = nullptr;
  HWND form_ = nullptr;
  HWND panel1_ = nullptr;
  HWND lblPrompt_ = nullptr;
  HWND animate_ = nullptr;
  HWND progBar_ = nullptr;
};

}  // namespace

std::unique_ptr<ProgressView> MakePlatformProgressView() {
  return std::make_unique<TProgress_Frm>();
}

}  // namespace slotsync::ui
