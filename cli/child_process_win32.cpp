// clang-format off
#include "platform/win32_api.h"
// clang-format on

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "child_process.h"
#include "say.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

// The exit code of a child that never started: it could not run.
constexpr int kCouldNotStart = 2;

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(Handle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = nullptr;
    }
    return *this;
  }
  HANDLE Get() const { return handle_; }
  void Close() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

std::wstring Wide(std::string_view utf8) {
  const std::u16string utf16 = text::Utf8ToUtf16(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

// One argument as CommandLineToArgvW reads it back: quoted, with the
// backslashes before a quote (and before the closing one) doubled.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

std::wstring OwnProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

// What the reading threads and the console handler tell the parent's loop.
struct Event {
  enum Kind { kErrLine, kOut, kEnd, kInterrupt } kind;
  std::size_t child = 0;
  std::string text;
};

class Events {
 public:
  void Push(Event event) {
    {
      const std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    ready_.notify_one();
  }
  Event Pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !events_.empty(); });
    Event event = std::move(events_.front());
    events_.pop_front();
    return event;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Event> events_;
};

Events* consoleEvents = nullptr;  // while children run
std::mutex consoleMutex;

// Ctrl+C reaches every process of the console: the children roll back by
// themselves, and the parent waits for them rather than ending.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  const std::lock_guard lock(consoleMutex);
  if (consoleEvents == nullptr) return FALSE;
  consoleEvents->Push({Event::kInterrupt, 0, {}});
  return TRUE;
}

class ConsoleControl {
 public:
  explicit ConsoleControl(Events& events) {
    {
      const std::lock_guard lock(consoleMutex);
      consoleEvents = &events;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  }
  ~ConsoleControl() {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    const std::lock_guard lock(consoleMutex);
    consoleEvents = nullptr;
  }
  ConsoleControl(const ConsoleControl&) = delete;
  ConsoleControl& operator=(const ConsoleControl&) = delete;
};

struct Running {
  std::size_t job = 0;
  Handle process;
  std::string out, errLine;
  int open = 2;  // streams not yet at their end
  std::thread outReader, errReader;
};

void Read(HANDLE pipe, Event::Kind kind, std::size_t child, Events& events) {
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    events.Push({kind, child, std::string(buffer, read)});
  }
  events.Push({Event::kEnd, child, {}});
}

// The child's ends may be inherited, the parent's never; only one child is
// started at a time, and its ends are closed here as soon as it has them.
void MakePipe(Handle& childEnd, Handle& parentEnd, bool childReads) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) throw std::runtime_error(Say("CreatePipe failed"));
  childEnd = Handle(childReads ? read : write);
  parentEnd = Handle(childReads ? write : read);
  SetHandleInformation(parentEnd.Get(), HANDLE_FLAG_INHERIT, 0);
}

std::unique_ptr<Running> Spawn(std::size_t job, std::size_t slot, const ChildJob& what,
                               Events& events) {
  Handle inChild, inParent, outChild, outParent, errChild, errParent;
  MakePipe(inChild, inParent, true);
  MakePipe(outChild, outParent, false);
  MakePipe(errChild, errParent, false);
  const std::wstring program = OwnProgram();
  std::wstring line;
  AppendQuoted(line, program);
  for (const std::string& arg : what.args) {
    line += L' ';
    AppendQuoted(line, Wide(arg));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inChild.Get();
  startup.hStdOutput = outChild.Get();
  startup.hStdError = errChild.Get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    throw std::runtime_error(SayFormat("CreateProcessW failed with error %d", GetLastError()));
  }
  CloseHandle(process.hThread);
  inChild.Close();
  outChild.Close();
  errChild.Close();
  auto running = std::make_unique<Running>();
  running->job = job;
  running->process = Handle(process.hProcess);
  // The input is a line; a pipe holds far more, so this never waits.
  std::string input(what.input.View());
  input += '\n';
  DWORD written = 0;
  WriteFile(inParent.Get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  platform::WipeString(input);
  inParent.Close();
  running->outReader = std::thread([pipe = std::make_shared<Handle>(std::move(outParent)), slot,
                                    &events] { Read(pipe->Get(), Event::kOut, slot, events); });
  running->errReader = std::thread([pipe = std::make_shared<Handle>(std::move(errParent)), slot,
                                    &events] { Read(pipe->Get(), Event::kErrLine, slot, events); });
  return running;
}

}  // namespace

void RunChildren(const std::vector<ChildJob>& jobs, int parallel, ChildObserver& observer) {
  Events events;
  const ConsoleControl control(events);
  // Slots, not jobs, name the children in events: a slot is reused once its
  // child has ended and its readers are joined.
  std::vector<std::unique_ptr<Running>> slots(static_cast<std::size_t>(parallel));
  std::size_t next = 0, running = 0;
  bool stopping = false;
  for (;;) {
    for (std::size_t slot = 0; slot < slots.size() && !stopping && next < jobs.size(); ++slot) {
      if (slots[slot]) continue;
      if (!observer.MayStart(next)) {
        stopping = true;
        break;
      }
      observer.Started(next);
      try {
        slots[slot] = Spawn(next, slot, jobs[next], events);
        ++running;
      } catch (const std::exception& e) {
        observer.ErrorLine(next, "slotsync: " + SayFormat("could not start a run: %s", e.what()));
        observer.Ended(next, kCouldNotStart, {});
      }
      ++next;
    }
    if (running == 0) break;
    Event event = events.Pop();
    if (event.kind == Event::kInterrupt) {
      stopping = true;
      observer.Interrupted();
      continue;
    }
    Running& child = *slots[event.child];
    if (event.kind == Event::kOut) {
      child.out += event.text;
    } else if (event.kind == Event::kErrLine) {
      for (const char c : event.text) {
        if (c == '\r') continue;
        if (c != '\n') {
          child.errLine += c;
          continue;
        }
        observer.ErrorLine(child.job, child.errLine);
        child.errLine.clear();
      }
    } else if (--child.open == 0) {
      if (!child.errLine.empty()) observer.ErrorLine(child.job, child.errLine);
      child.outReader.join();
      child.errReader.join();
      WaitForSingleObject(child.process.Get(), INFINITE);
      DWORD code = kCouldNotStart;
      GetExitCodeProcess(child.process.Get(), &code);
      observer.Ended(child.job, static_cast<int>(code), child.out);
      slots[event.child].reset();
      --running;
    }
  }
}

}  // namespace slotsync::cli
