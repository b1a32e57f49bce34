#pragma once

// Runs this program again as child processes, a bounded number at once: the
// command's way of working on several databases, each in a process of its
// own (the library allows one run per process, and a run that fails or is
// cancelled then touches nothing of another's).

#include <cstddef>
#include <string>
#include <vector>

#include "platform/secret.h"

namespace slotsync::cli {

struct ChildJob {
  std::vector<std::string> args;  // after the program's name, in the terminal's encoding
  platform::SecretString input;   // written to its standard input, which is then closed
};

// What the parent hears while its children run; called on the calling
// thread of RunChildren, one at a time.
class ChildObserver {
 public:
  virtual ~ChildObserver() = default;
  // Asked before each job is started; false leaves it and every later one
  // unstarted.
  virtual bool MayStart(std::size_t job) = 0;
  virtual void Started(std::size_t job) = 0;
  // Each line the child writes to its standard error, without its newline.
  virtual void ErrorLine(std::size_t job, const std::string& line) = 0;
  // The child's exit code (128 + the signal that ended it) and everything
  // it wrote to its standard output.
  virtual void Ended(std::size_t job, int exitCode, const std::string& out) = 0;
  // Ctrl+C or a request to stop (SIGTERM, closing the console) reached the
  // parent. Children that share the terminal got Ctrl+C themselves; a
  // SIGTERM is handed on to each running child by RunChildren.
  virtual void Interrupted() = 0;
};

// Runs the jobs in order, at most `parallel` at once, until every started
// one has ended.
void RunChildren(const std::vector<ChildJob>& jobs, int parallel, ChildObserver& observer);

}  // namespace slotsync::cli
