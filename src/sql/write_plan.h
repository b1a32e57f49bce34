#pragma once

// A restructure run that only plans: every write it would send is kept here,
// in order and with the exact text the run would send, instead of reaching
// the server. Reads still go out, except those that name a table an earlier
// planned write changed: a real run would read what that write left, which
// the plan cannot know, so such a read is noted rather than guessed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace slotsync::sql {

struct PlannedStatement {
  enum class Kind {
    kWrite,         // sent by the run; its failure fails the run
    kIgnoredWrite,  // sent by the run, which goes on when it fails (the drops)
    kGuard,         // not sent by the run: a check the run makes with its reads,
                    // written out for a script that runs without it
    kBefore,        // sent before the run's transaction, in a short one of its own
    kAfter,         // sent after the run's commit, each on its own; a failure is reported
  };
  std::string text;
  Kind kind = Kind::kWrite;
};

struct UnknownRead {
  std::string text;
  std::string dependsOn;  // the planned write that changes what it reads
};

class WritePlan {
 public:
  void Record(std::string text, PlannedStatement::Kind kind);
  void Unknown(std::string text, std::string dependsOn);

  // The planned write that changed a table `read` names, or nullptr.
  const PlannedStatement* WriteBehind(std::string_view read) const;

  const std::vector<PlannedStatement>& Statements() const { return statements_; }
  const std::vector<UnknownRead>& UnknownReads() const { return unknownReads_; }

 private:
  std::vector<PlannedStatement> statements_;
  std::vector<UnknownRead> unknownReads_;
  // Each table a write changed (upper case, without schema or brackets),
  // with the index of the latest write that changed it.
  std::unordered_map<std::string, std::size_t> touched_;
};

// The tables a write statement of the rebuilds creates, drops, renames,
// alters or fills, without schema prefix or brackets, as written.
std::vector<std::string> TablesWrittenBy(std::string_view statement);

}  // namespace slotsync::sql
