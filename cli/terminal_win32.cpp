#include "terminal_win32.h"

// clang-format off
#include "platform/win32_api.h"
#include <shellapi.h>
#include <winternl.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>

#include "command.h"
#include "password_argument.h"
#include "platform/secret.h"
#include "say.h"
#include "text/codepage.h"
#include "text/gbk.h"
#include "ui/console_progress.h"

namespace slotsync::cli {
namespace {

std::atomic<bool> interrupted{false};
// What the command does on the first Ctrl+C while it watches a run.
std::mutex interruptMutex;
std::function<void()> onInterrupt;

// While the password prompt has echo off: the console mode to put back.
std::atomic<bool> atPrompt{false};
std::atomic<DWORD> promptSavedMode{0};

// A console, as opposed to a file, a pipe or the NUL device (a character
// device too, but one without a console mode), judged for the handle of the
// stream itself.
bool IsConsoleHandle(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
}

std::wstring Wide(std::string_view utf8) {
  const std::u16string utf16 = text::Utf8ToUtf16(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

std::string Utf8(std::wstring_view wide) {
  return text::Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// The bytes of a UTF-8 text that end in the middle of a character, kept back
// until the rest of it arrives.
std::size_t IncompleteTail(const std::string& utf8) {
  for (std::size_t back = 1; back <= 3 && back <= utf8.size(); ++back) {
    const auto byte = static_cast<unsigned char>(utf8[utf8.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? back : 0;
  }
  return 0;
}

// Standard output or error: UTF-16 through WriteConsoleW on a console, so
// that Chinese shows in any console code page; the UTF-8 bytes themselves
// when redirected to a file or a pipe. Written out at each line end and
// flush.
class ConsoleOutput final : public std::streambuf {
 public:
  explicit ConsoleOutput(DWORD which)
      : handle_(GetStdHandle(which)), console_(IsConsoleHandle(handle_)) {
    // The spinner clears its line with an escape sequence; consoles older
    // than Windows 10 know none, and there it is left out.
    DWORD mode = 0;
    vt_ = console_ && GetConsoleMode(handle_, &mode) != 0 &&
          SetConsoleMode(handle_, mode | ENABLE_PROCESSED_OUTPUT | 0x0004 /* VT processing */) != 0;
  }
  bool IsConsole() const { return console_; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const std::lock_guard lock(mutex_);
    pending_.push_back(traits_type::to_char_type(c));
    if (c == '\n' && !WriteLocked()) return traits_type::eof();
    return c;
  }

  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::lock_guard lock(mutex_);
    pending_.append(s, static_cast<std::size_t>(n));
    if (pending_.find('\n') != std::string::npos && !WriteLocked()) return 0;
    return n;
  }

  int sync() override {
    const std::lock_guard lock(mutex_);
    return WriteLocked() ? 0 : -1;
  }

 private:
  bool WriteLocked() {
    if (!console_) {
      const bool written = WriteAll(pending_.data(), pending_.size());
      pending_.clear();
      return written;
    }
    std::string whole = pending_.substr(0, pending_.size() - IncompleteTail(pending_));
    pending_.erase(0, whole.size());
    if (!vt_) {
      for (std::size_t at; (at = whole.find("\x1b[K")) != std::string::npos;) whole.erase(at, 3);
    }
    const std::wstring wide = Wide(whole);
    std::size_t done = 0;
    while (done < wide.size()) {
      DWORD wrote = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
      if (!WriteConsoleW(handle_, wide.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
        return false;
      }
      done += wrote;
    }
    return true;
  }

  bool WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
      DWORD wrote = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 16));
      if (!WriteFile(handle_, data, chunk, &wrote, nullptr) || wrote == 0) return false;
      data += wrote;
      size -= wrote;
    }
    return true;
  }

  HANDLE handle_;
  bool console_;
  bool vt_ = false;
  std::mutex mutex_;  // the spinner writes from a thread of its own
  std::string pending_;
};

// Standard input: a console line read as UTF-16 and handed on as UTF-8;
// redirected input as the bytes it holds, taken to be UTF-8.
class ConsoleInput final : public std::streambuf {
 public:
  ConsoleInput() : handle_(GetStdHandle(STD_INPUT_HANDLE)), console_(IsConsoleHandle(handle_)) {}
  bool IsConsole() const { return console_; }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    buffer_.clear();
    if (console_) {
      wchar_t wide[512];
      DWORD read = 0;
      if (!ReadConsoleW(handle_, wide, 512, &read, nullptr) || read == 0) {
        return traits_type::eof();
      }
      buffer_ = Utf8(std::wstring_view(wide, read));
    } else {
      char bytes[4096];
      DWORD read = 0;
      if (!ReadFile(handle_, bytes, sizeof bytes, &read, nullptr) || read == 0) {
        return traits_type::eof();
      }
      buffer_.assign(bytes, read);
    }
    setg(buffer_.data(), buffer_.data(), buffer_.data() + buffer_.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  HANDLE handle_;
  bool console_;
  std::string buffer_;
};

// Reads a line from the console with echo off. Ctrl+C here ends the
// program before anything was sent, with the console as it was.
std::string ReadSecretFromConsole(std::ostream& err, const std::string& prompt) {
  err << prompt << std::flush;
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  const bool haveConsole = GetConsoleMode(in, &saved) != 0;
  if (haveConsole) {
    promptSavedMode.store(saved);
    atPrompt.store(true);
    SetConsoleMode(in, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                           ENABLE_PROCESSED_INPUT);
  }
  std::wstring line;
  for (;;) {
    wchar_t c = 0;
    DWORD read = 0;
    if (!ReadConsoleW(in, &c, 1, &read, nullptr) || read == 0 || interrupted.load()) break;
    if (c == L'\n') break;
    if (c != L'\r') line.push_back(c);
  }
  if (haveConsole) {
    atPrompt.store(false);
    SetConsoleMode(in, saved);
  }
  err << '\n' << std::flush;
  if (interrupted.load()) std::exit(kExitInterrupted);
  return Utf8(line);
}

// --password-stdin: up to the first line feed and not a byte further, with
// ReadFile straight into a wiped buffer, so that neither a copy of the
// password nor what follows the line is left in a buffer of the input
// stream. A console gives UTF-16, handed on as UTF-8 like the rest.
platform::SecretString ReadInputLine(std::size_t most) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  // Room from the start: a buffer that grows out of the string object
  // itself would leave the first characters behind in it.
  constexpr std::size_t kRoom = 64;
  if (IsConsoleHandle(in)) {
    platform::SecretU16String wide;
    wide.Edit().reserve(kRoom);
    while (wide.View().size() < most) {
      wchar_t c = 0;
      DWORD read = 0;
      if (!ReadConsoleW(in, &c, 1, &read, nullptr) || read == 0 || c == L'\n') break;
      wide.Edit().push_back(static_cast<char16_t>(c));
    }
    return platform::SecretString::Taking(text::Utf16ToUtf8(wide.View()));
  }
  platform::SecretString line;
  line.Edit().reserve(kRoom);
  while (line.View().size() < most) {
    char c = 0;
    DWORD read = 0;
    if (!ReadFile(in, &c, 1, &read, nullptr) || read == 0 || c == '\n') break;
    line.Edit().push_back(c);
    SecureZeroMemory(&c, 1);
  }
  return line;
}

// The first Ctrl+C asks the run to stop: the statement under way is
// cancelled (SQLCancel, through the command's watcher), nothing further is
// sent, and the transaction is rolled back. A second one ends the program
// at once with exit code 130; the server then rolls back the open
// transaction when the connection drops.
// At the password prompt nothing was sent yet: Ctrl+C ends the program
// there and then, with echo back on (some consoles keep a line read waiting
// after Ctrl+C).
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // The second one ends the program at once, and says so by its exit code:
  // the default handler's would pass for success with some hosts.
  if (interrupted.exchange(true)) ExitProcess(kExitInterrupted);
  if (atPrompt.load()) {
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), promptSavedMode.load());
    DWORD wrote = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &wrote, nullptr);
    ExitProcess(kExitInterrupted);
  }
  // The system calls this on a thread of its own: a watched run cancels
  // its running statement from here (SQLCancel) and rolls back.
  {
    const std::lock_guard lock(interruptMutex);
    if (onInterrupt) {
      onInterrupt();
      return TRUE;
    }
  }
  // In the language of the command's messages (UTF-8 here): through
  // WriteConsoleW on a console, as every other line, so that Chinese shows
  // in any console code page.
  const std::string note = "\r\nslotsync: " +
                           Say("Ctrl+C: stopping after the current statement and rolling back; "
                               "press Ctrl+C again to end at once") +
                           "\r\n";
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD wrote = 0;
  if (IsConsoleHandle(err)) {
    const std::wstring wide = Wide(note);
    WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &wrote, nullptr);
  } else {
    WriteFile(err, note.data(), static_cast<DWORD>(note.size()), &wrote, nullptr);
  }
  return TRUE;
}

// The narrow environment is in the ANSI code page; the wide one holds every
// character. Each value is kept, in a wiped buffer, so that its text stays
// valid.
std::mutex environmentMutex;
std::map<std::string, platform::SecretString> environmentValues;

// Set by Ctrl+C: ends a wait for Enter at once.
HANDLE WaitBreakEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// Waits for Enter on the console; false when the wait is broken.
bool WaitForEnterOnConsole() {
  const HANDLE handles[2] = {GetStdHandle(STD_INPUT_HANDLE), WaitBreakEvent()};
  for (;;) {
    if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) return false;
    INPUT_RECORD record{};
    DWORD read = 0;
    if (!ReadConsoleInputW(handles[0], &record, 1, &read) || read == 0) return false;
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
        record.Event.KeyEvent.wVirtualKeyCode == VK_RETURN) {
      return true;
    }
  }
}

const char* EnvironmentVariable(const char* name) {
  const wchar_t* value = _wgetenv(Wide(name).c_str());
  if (value == nullptr) return nullptr;
  const std::lock_guard lock(environmentMutex);
  return (environmentValues[name] = platform::SecretString::Taking(Utf8(value))).CStr();
}

// The C runtime's copy wiped in place, then the variable removed from it
// and from the process's own environment block, and the kept value wiped.
void ForgetEnvironmentVariable(const char* name) {
  const std::wstring wideName = Wide(name);
  if (wchar_t* value = _wgetenv(wideName.c_str())) {
    SecureZeroMemory(value, wcslen(value) * sizeof(wchar_t));
  }
  _wputenv((wideName + L"=").c_str());
  SetEnvironmentVariableW(wideName.c_str(), nullptr);
  const std::lock_guard lock(environmentMutex);
  environmentValues.erase(name);
}

// The command line other processes read is the one in the process's
// parameters, whose buffer GetCommandLineW hands out too. The password's
// argument, found by its position (password_argument.h), is rewritten as
// "***", the rest moved up, the characters freed at the end zeroed and the
// line's length shortened: neither the password nor its length shows.
// The parameters are found through the process's PEB, whose address
// NtQueryInformationProcess tells (ntdll, loaded in every process).
RTL_USER_PROCESS_PARAMETERS* ProcessParameters() {
  using Query = NTSTATUS(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto query = ntdll == nullptr ? nullptr
                                      : reinterpret_cast<Query>(reinterpret_cast<void (*)()>(
                                            GetProcAddress(ntdll, "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION information{};
  if (query == nullptr ||
      query(GetCurrentProcess(), ProcessBasicInformation, &information, sizeof information,
            nullptr) < 0 ||
      information.PebBaseAddress == nullptr) {
    return nullptr;
  }
  return information.PebBaseAddress->ProcessParameters;
}

void BlankPasswordInProcessCommandLine() {
  RTL_USER_PROCESS_PARAMETERS* const parameters = ProcessParameters();
  UNICODE_STRING unknown{};
  UNICODE_STRING& line = parameters != nullptr ? parameters->CommandLine : unknown;
  // GetCommandLineW's is the parameters' own buffer, or a copy of it.
  wchar_t* const copy = GetCommandLineW();
  for (wchar_t* const buffer : {line.Buffer, copy != line.Buffer ? copy : nullptr}) {
    if (buffer == nullptr) continue;
    const bool inParameters = buffer == line.Buffer;
    const std::size_t length = inParameters ? line.Length / sizeof(wchar_t) : wcslen(buffer);
    // Room for the line and its terminating NUL.
    const std::size_t capacity =
        inParameters ? std::max<std::size_t>(line.MaximumLength / sizeof(wchar_t), 1) - 1 : length;
    const std::u16string_view before(reinterpret_cast<const char16_t*>(buffer), length);
    auto blanked =
        platform::SecretU16String::Taking(cli::BlankPasswordInCommandLine(before, capacity));
    const std::u16string_view after = blanked.View();
    if (after == before) continue;
    std::copy(after.begin(), after.end(), reinterpret_cast<char16_t*>(buffer));
    if (after.size() < length) {
      SecureZeroMemory(buffer + after.size(), (length - after.size()) * sizeof(wchar_t));
    }
    buffer[after.size()] = L'\0';
    if (inParameters) line.Length = static_cast<USHORT>(after.size() * sizeof(wchar_t));
  }
}

}  // namespace

Arguments WideArguments() {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  Arguments args;
  for (int i = 1; wide != nullptr && i < count; ++i) {
    args.push_back(platform::SecretString::Taking(Utf8(wide[i])));
  }
  BlankPasswordInProcessCommandLine();
  // The parsed copy of the command line holds the password as well.
  for (int i = 0; wide != nullptr && i < count; ++i) {
    SecureZeroMemory(wide[i], wcslen(wide[i]) * sizeof(wchar_t));
  }
  if (wide != nullptr) LocalFree(wide);
  return args;
}

bool Interrupted() {
  return interrupted.load();
}

Terminal StandardStreams() {
  static ConsoleInput inBuffer;
  static ConsoleOutput outBuffer(STD_OUTPUT_HANDLE);
  static ConsoleOutput errBuffer(STD_ERROR_HANDLE);
  static std::istream in(&inBuffer);
  static std::ostream out(&outBuffer);
  static std::ostream err(&errBuffer);
  err.setf(std::ios::unitbuf);
  text::UseUtf8ForTerminal();
  // Progress goes to the console, where the command's user looks, never
  // into a window.
  ui::ReplaceDefaultProgressView(
      [] { return ui::MakeConsoleProgressView(err, errBuffer.IsConsole()); });
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  Terminal t;
  t.in = &in;
  t.out = &out;
  t.err = &err;
  t.inIsTerminal = inBuffer.IsConsole();
  t.outIsTerminal = outBuffer.IsConsole();
  t.errIsTerminal = errBuffer.IsConsole();
  t.getEnv = EnvironmentVariable;
  t.forgetEnv = ForgetEnvironmentVariable;
  t.readSecret = [](const std::string& prompt) { return ReadSecretFromConsole(err, prompt); };
  t.readInputLine = ReadInputLine;
  t.pause = [](int seconds) { Sleep(static_cast<DWORD>(seconds) * 1000); };
  if (inBuffer.IsConsole()) {
    t.waitForEnter = WaitForEnterOnConsole;
    t.endWaits = [] { SetEvent(WaitBreakEvent()); };
  }
  t.watchInterrupts = [](std::function<void()> handler) -> std::shared_ptr<void> {
    {
      const std::lock_guard lock(interruptMutex);
      onInterrupt = std::move(handler);
    }
    return std::shared_ptr<void>(nullptr, [](void*) {
      const std::lock_guard lock(interruptMutex);
      onInterrupt = nullptr;
    });
  };
  return t;
}

}  // namespace slotsync::cli
