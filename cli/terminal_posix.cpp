#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>
#include <thread>

#include "command.h"
#include "password_argument.h"
#include "platform/secret.h"

namespace slotsync::cli {
namespace {

// The terminal's settings before the prompt turned echo off, for the signal
// handler that puts them back when the prompt is interrupted.
termios savedTerminal{};

constexpr int kPromptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

extern "C" void RestoreTerminalAndRaise(int signal) {
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
  const char newline = '\n';
  [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, &newline, 1);
  std::signal(signal, SIG_DFL);
  raise(signal);
}

// Echo off for the length of the prompt; a signal that ends the process
// meanwhile (Ctrl+C, Ctrl+\, a hang-up) restores it first, so the shell the
// user returns to still shows what they type.
class EchoOff {
 public:
  EchoOff() : active_(tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
    if (!active_) return;
    struct sigaction restore {};
    restore.sa_handler = RestoreTerminalAndRaise;
    sigemptyset(&restore.sa_mask);
    for (std::size_t i = 0; i < std::size(kPromptSignals); ++i) {
      sigaction(kPromptSignals[i], &restore, &previous_[i]);
    }
    termios quiet = savedTerminal;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  ~EchoOff() {
    if (!active_) return;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    for (std::size_t i = 0; i < std::size(kPromptSignals); ++i) {
      sigaction(kPromptSignals[i], &previous_[i], nullptr);
    }
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  bool active_;
  struct sigaction previous_[std::size(kPromptSignals)]{};
};

std::string ReadSecret(const std::string& prompt) {
  std::string line;
  {
    const EchoOff echoOff;
    std::cerr << prompt << std::flush;
    if (!std::getline(std::cin, line)) line.clear();  // Ctrl+D
  }
  std::cerr << '\n';
  return line;
}

// Byte by byte with read(2): a buffered read would take what follows the
// line from whoever reads the input next, and leave a copy of the password
// in the C library's buffer. The buffer grows by the wiping allocator, so
// no copy is left where it was before either.
platform::SecretString ReadInputLine(std::size_t most) {
  platform::SecretString line;
  // Room from the start: a buffer that grows out of the string object
  // itself would leave the first characters behind in it.
  line.Edit().reserve(64);
  while (line.View().size() < most) {
    char c = 0;
    const ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n') break;
    line.Edit().push_back(c);
    platform::WipeMemory(&c, 1);
  }
  return line;
}

// Ctrl+C and SIGTERM are blocked in every thread of the run (the mask is set
// before any other thread starts, and threads inherit it) and taken by
// sigwait on a thread of their own, which may then lock and call the driver
// as no signal handler may.
class InterruptWatch {
 public:
  explicit InterruptWatch(std::function<void()> onInterrupt)
      : onInterrupt_(std::move(onInterrupt)) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, &previousMask_);
    watcher_ = std::thread([this] { Watch(); });
  }
  ~InterruptWatch() {
    stopping_ = true;
    pthread_kill(watcher_.native_handle(), SIGTERM);
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  void Watch() {
    for (int interruptions = 0;;) {
      int signal = 0;
      if (sigwait(&signals_, &signal) != 0) continue;
      if (stopping_) return;
      // The second one means now: a driver may not answer the cancel.
      if (++interruptions > 1) _exit(kExitInterrupted);
      onInterrupt_();
    }
  }

  std::function<void()> onInterrupt_;
  sigset_t signals_{};
  sigset_t previousMask_{};
  std::atomic<bool> stopping_{false};
  std::thread watcher_;
};

// Ends a wait for Enter from the interrupt watcher's thread: a byte in this
// pipe wakes the poll that waits on the terminal.
class WaitBreaker {
 public:
  WaitBreaker() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    for (const int fd : fds_) {
      if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }
  // False when broken, or at the end of the input.
  bool WaitForEnter() {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {fds_[0], POLLIN, 0}};
    for (;;) {
      if (poll(fds, fds_[0] >= 0 ? 2 : 1, -1) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (fds[1].revents != 0) return false;
      char c = 0;
      if (read(STDIN_FILENO, &c, 1) != 1) return false;
      if (c == '\n') return true;
    }
  }
  void Break() {
    const char byte = 1;
    if (fds_[1] < 0) return;
    [[maybe_unused]] const ssize_t ignored = write(fds_[1], &byte, 1);
  }

 private:
  int fds_[2] = {-1, -1};
};

WaitBreaker& Breaker() {
  static WaitBreaker breaker;
  return breaker;
}

}  // namespace

namespace {

// The environment's copy of a variable is what /proc/<pid>/environ shows for
// as long as the process lives; wiped in place, then removed.
void ForgetEnvironmentVariable(const char* name) {
  if (char* value = std::getenv(name)) platform::WipeMemory(value, std::strlen(value));
  unsetenv(name);
}

}  // namespace

Terminal StandardStreams() {
  Terminal t;
  t.in = &std::cin;
  t.out = &std::cout;
  t.err = &std::cerr;
  t.inIsTerminal = isatty(STDIN_FILENO) == 1;
  t.outIsTerminal = isatty(STDOUT_FILENO) == 1;
  t.errIsTerminal = isatty(STDERR_FILENO) == 1;
  t.getEnv = [](const char* name) { return std::getenv(name); };
  t.forgetEnv = ForgetEnvironmentVariable;
  t.readSecret = ReadSecret;
  t.readInputLine = ReadInputLine;
  t.pause = [](int seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); };
  t.waitForEnter = [] { return Breaker().WaitForEnter(); };
  t.endWaits = [] { Breaker().Break(); };
  t.watchInterrupts = [](std::function<void()> onInterrupt) -> std::shared_ptr<void> {
    return std::make_shared<InterruptWatch>(std::move(onInterrupt));
  };
  return t;
}

void ProtectSecrets(int argc, char** argv) {
  // No core file and no ptrace by other processes of the same user: either
  // would hand them the password.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  // The process list shows the arguments as they are now in memory.
  BlankPasswordArguments(argc, argv);
}

}  // namespace slotsync::cli
