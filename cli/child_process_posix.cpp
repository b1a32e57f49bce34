#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "child_process.h"
#include "say.h"

extern char** environ;

namespace slotsync::cli {
namespace {

// The program that runs the children: this one, whatever its name on disk.
constexpr const char* kOwnProgram = "/proc/self/exe";
// The exit code of a child that never started: it could not run.
constexpr int kCouldNotStart = 2;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Close(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int Get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

struct Pipe {
  Descriptor read, write;
};

// Both ends close on exec, so that no child keeps another's pipe open; the
// spawn's dup2 onto 0, 1 and 2 gives the child its own ends without the flag.
Pipe MakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  return {Descriptor(fds[0]), Descriptor(fds[1])};
}

// Ctrl+C and SIGTERM are read from a descriptor while children run, beside
// their pipes, so that the parent is never ended by them half way and can
// wait for every child's rollback; a child that goes away early must not end
// the parent with SIGPIPE either. Everything is put back afterwards.
class SignalsAsEvents {
 public:
  SignalsAsEvents() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, &previousMask_);
    fd_ = Descriptor(signalfd(-1, &signals_, SFD_NONBLOCK | SFD_CLOEXEC));
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previousPipe_);
  }
  ~SignalsAsEvents() {
    sigaction(SIGPIPE, &previousPipe_, nullptr);
    fd_.Close();
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
  SignalsAsEvents(const SignalsAsEvents&) = delete;
  SignalsAsEvents& operator=(const SignalsAsEvents&) = delete;

  int Fd() const { return fd_.Get(); }
  // The next signal that arrived, 0 when none is waiting.
  int Take() {
    signalfd_siginfo info{};
    if (read(fd_.Get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
    return static_cast<int>(info.ssi_signo);
  }

 private:
  sigset_t signals_{};
  sigset_t previousMask_{};
  struct sigaction previousPipe_ {};
  Descriptor fd_;
};

struct Running {
  std::size_t job = 0;
  pid_t pid = -1;
  Descriptor out, err;
  std::string outText, errLine;
};

class SpawnSettings {
 public:
  SpawnSettings() {
    posix_spawnattr_init(&attributes_);
    posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

// The child starts with the signals as a fresh process has them: nothing
// blocked, Ctrl+C, SIGTERM and SIGPIPE at their defaults (its own watcher
// takes them over).
Running Spawn(std::size_t job, const ChildJob& what) {
  Pipe in = MakePipe(), out = MakePipe(), err = MakePipe();
  SpawnSettings settings;
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (const int signal : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&settings.attributes_, &none);
  posix_spawnattr_setsigdefault(&settings.attributes_, &defaults);
  posix_spawnattr_setflags(&settings.attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_adddup2(&settings.actions_, in.read.Get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&settings.actions_, out.write.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&settings.actions_, err.write.Get(), STDERR_FILENO);
  std::vector<std::string> texts = {"slotsync"};
  texts.insert(texts.end(), what.args.begin(), what.args.end());
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);
  Running running;
  running.job = job;
  const int failed = posix_spawn(&running.pid, kOwnProgram, &settings.actions_,
                                 &settings.attributes_, argv.data(), environ);
  if (failed != 0) throw std::system_error(failed, std::generic_category(), "posix_spawn");
  in.read.Close();
  // The input is a line or two; a pipe holds far more, so this never waits.
  std::string input(what.input.View());
  input += '\n';
  [[maybe_unused]] const ssize_t written = write(in.write.Get(), input.data(), input.size());
  platform::WipeString(input);
  running.out = std::move(out.read);
  running.err = std::move(err.read);
  return running;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 2;
}

// Reads what is there; at the end of a stream its descriptor is closed.
void ReadFrom(Running& child, bool fromErr, ChildObserver& observer) {
  char buffer[4096];
  Descriptor& fd = fromErr ? child.err : child.out;
  const ssize_t n = read(fd.Get(), buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    fd.Close();
    if (fromErr && !child.errLine.empty()) observer.ErrorLine(child.job, child.errLine);
    child.errLine.clear();
    return;
  }
  if (!fromErr) {
    child.outText.append(buffer, static_cast<std::size_t>(n));
    return;
  }
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] != '\n') {
      child.errLine += buffer[i];
      continue;
    }
    observer.ErrorLine(child.job, child.errLine);
    child.errLine.clear();
  }
}

}  // namespace

void RunChildren(const std::vector<ChildJob>& jobs, int parallel, ChildObserver& observer) {
  SignalsAsEvents signals;
  std::vector<Running> running;
  std::size_t next = 0;
  bool stopping = false;
  for (;;) {
    while (!stopping && running.size() < static_cast<std::size_t>(parallel) && next < jobs.size()) {
      if (!observer.MayStart(next)) {
        stopping = true;
        break;
      }
      observer.Started(next);
      try {
        running.push_back(Spawn(next, jobs[next]));
      } catch (const std::system_error& e) {
        observer.ErrorLine(next, "slotsync: " + SayFormat("could not start a run: %s", e.what()));
        observer.Ended(next, kCouldNotStart, {});
      }
      ++next;
    }
    if (running.empty()) break;
    std::vector<pollfd> waiting = {{signals.Fd(), POLLIN, 0}};
    for (const Running& child : running) {
      waiting.push_back({child.out.Get(), POLLIN, 0});
      waiting.push_back({child.err.Get(), POLLIN, 0});
    }
    if (poll(waiting.data(), waiting.size(), -1) < 0) continue;
    if (waiting[0].revents != 0) {
      while (const int signal = signals.Take()) {
        stopping = true;
        observer.Interrupted();
        // Ctrl+C from the terminal reached the children too; a SIGTERM was
        // meant for this process alone, and each child hears it once.
        if (signal == SIGTERM) {
          for (const Running& child : running) kill(child.pid, SIGTERM);
        }
      }
    }
    for (std::size_t i = 0; i < running.size(); ++i) {
      if (waiting[1 + 2 * i].revents != 0) ReadFrom(running[i], false, observer);
      if (waiting[2 + 2 * i].revents != 0) ReadFrom(running[i], true, observer);
    }
    for (auto it = running.begin(); it != running.end();) {
      if (it->out.Get() >= 0 || it->err.Get() >= 0) {
        ++it;
        continue;
      }
      int status = 0;
      while (waitpid(it->pid, &status, 0) < 0 && errno == EINTR) {
      }
      observer.Ended(it->job, ExitCodeOf(status), it->outText);
      it = running.erase(it);
    }
  }
  while (signals.Take() != 0) observer.Interrupted();
}

}  // namespace slotsync::cli
