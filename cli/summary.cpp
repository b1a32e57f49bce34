#include "summary.h"

#include <algorithm>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "entry/public_api.h"
#include "entry/run_cancel.h"
#include "say.h"
#include "text/case_fold.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

// Each line of the message on a line of its own, marked as ours, so that a
// line a server message brings cannot pass for one of the command's.
void PrintMessage(std::ostream& err, const std::string& shown) {
  std::size_t at = 0;
  while (at <= shown.size()) {
    const std::size_t end = std::min(shown.find('\n', at), shown.size());
    err << "slotsync: " << std::string_view(shown).substr(at, end - at) << '\n';
    at = end + 1;
  }
}

// What to do next, for each exit code that needs something done.
const char* NextStep(int exitCode) {
  switch (exitCode) {
    case kExitRolledBack:
      return N_("nothing needs undoing; remove the cause named above, then run slotsync again");
    case kExitCouldNotRun:
      return N_(
          "nothing needs undoing; correct what is named above (the server, database, login "
          "or encryption, or the dictionary), then run slotsync again");
    case kExitBusy:
      return N_("wait for the other run in this process to end, then run slotsync again");
    case kExitCommitUnknown:
      return N_(
          "look at S_Modify before running again: tables still flagged Modified=1 mean the "
          "commit did not take (run again), Modified=0 that it did (nothing to do)");
    case kExitInterrupted:
      return N_("nothing needs undoing; run slotsync again when the database may be worked on");
    case kExitOutputFailed:
      return N_(
          "nothing needs undoing; fix where the output goes (a closed pipe, a full disk), then "
          "run slotsync again");
    case kExitNothingFlagged:
      return N_("set Modified=1 in S_Modify for the tables to rebuild, then run slotsync again");
    default:
      return nullptr;
  }
}

// After a lock-out: what to wait for (the sessions named, or a quieter
// database after a deadlock), and --retry only where it was not given.
std::string LockedOutNextStep(const CommandLine& line) {
  const bool deadlock = entry::LastRunWasDeadlockVictim();
  if (line.retry > 0) {
    return deadlock ? SayFormat(
                          "nothing needs undoing; every one of %d tries was locked out; run "
                          "slotsync again when the database is less busy",
                          line.retry + 1)
                    : SayFormat(
                          "nothing needs undoing; every one of %d tries was locked out; run "
                          "slotsync again when the sessions named above have ended their "
                          "work",
                          line.retry + 1);
  }
  return deadlock ? Say("nothing needs undoing; run slotsync again when the database is less busy "
                        "(--retry N tries again by itself)")
                  : Say("nothing needs undoing; run slotsync again when the sessions named above "
                        "have ended their work (--retry N tries again by itself)");
}

// N differs from the slot columns, but S_Modify names no table to rebuild:
// every later run finds the same and does nothing either.
void WarnIfNothingFlagged(const SlotsyncResult& result, int exitCode, std::ostream& err) {
  if (exitCode != kExitNothingFlagged) return;
  err << "slotsync: "
      << SayFormat(
             "warning: the size groups need N=%d slot columns, StockDetailTemp has %d, and "
             "S_Modify flags no table (CanCreateFlag=1 and Modified=1): the database stays "
             "out of step",
             result.slotCount, result.slotColumns)
      << '\n';
}

// Whether the run got as far as reading N and the slot columns: a figure
// it did not read is not shown, least of all as 0.
bool SlotsRead() {
  const nlohmann::json json = nlohmann::json::parse(entry::LastRunJson(), nullptr, false);
  return json.is_object() && json.value("slotCount", nlohmann::json()).is_number();
}

// After a commit, what StockDetailTemp holds now: rebuilt for N when it was
// among the tables flagged, else still the slot columns it had, which the
// next run compares N with again.
std::string CommittedLine(const SlotsyncResult& result) {
  const nlohmann::json run = nlohmann::json::parse(entry::LastRunJson(), nullptr, false);
  const nlohmann::json tables =
      run.is_object() ? run.value("tables", nlohmann::json::array()) : nlohmann::json::array();
  const bool rebuilt = std::any_of(tables.begin(), tables.end(), [](const nlohmann::json& table) {
    const nlohmann::json name = table.value("table", nlohmann::json());
    const std::string status = table.value("status", "");
    return name.is_string() &&
           text::EqualsIgnoringAsciiCase(name.get<std::string>(), "StockDetailTemp") &&
           (status == "rebuilt" || status == "rebuilt, size texts left");  // not a message
  });
  if (rebuilt) {
    return SayFormat(
        "committed: N=%d, StockDetailTemp rebuilt for it (it had %d slot columns); %d of %d "
        "flagged tables rebuilt",
        result.slotCount, result.slotColumns, result.rebuiltTables, result.flaggedRows);
  }
  return SayFormat(
      "committed: N=%d, StockDetailTemp still has %d slot columns (it was not flagged); %d of %d "
      "flagged tables rebuilt",
      result.slotCount, result.slotColumns, result.rebuiltTables, result.flaggedRows);
}

// The end of the line of a run that did not commit: nothing was changed,
// unless the run could not undo all it did, which its warnings name.
std::string Unchanged(const SlotsyncResult& result) {
  if (result.leftBehind <= 0) return Say("nothing was changed");
  return SayPlural("nothing was changed but %d thing the run could not undo, named below",
                   "nothing was changed but %d things the run could not undo, named below",
                   result.leftBehind, result.leftBehind);
}

}  // namespace

void StopRunIfOutputLost(const std::ostream& stream) {
  if (!stream.good()) entry::CancelRun(entry::StopReason::kOutputFailed);
}

// Escaped whether or not the output is a terminal: a pipe or a file often
// ends on one ("2>&1 | tee", "less -R", a log shown with cat), and a control
// character from the server would act there all the same.
std::string Shown(std::string_view gbk, bool /*isTerminal*/) {
  return text::GbkToTerminalEscaped(gbk);
}

// The text is in the terminal's encoding, which may be GBK, so it is judged
// by its characters, never by UTF-8's bytes.
std::string ShownOnOneLine(std::string_view terminalText) {
  std::string gbk;
  for (const char c : text::TerminalToGbk(terminalText)) {
    // No GBK trail byte is below 0x40: a 0x0A is a line feed.
    if (c == '\n') {
      gbk += "\\x0A";
    } else {
      gbk += c;
    }
  }
  return text::GbkToTerminalEscaped(gbk);
}

std::string PlanLine(const SlotsyncResult& result) {
  if (entry::LastExitCode() == kExitNothingFlagged) return OutOfStepLine(result);
  if (result.outcome == SLOTSYNC_PLAN_REFUSED) {
    if (!SlotsRead()) {
      return Say(
          "plan: a run would not commit, for the problems listed; nothing was written or "
          "locked");
    }
    return SayFormat(
        "plan: N=%d, StockDetailTemp has %d slot columns; a run would not commit, for the "
        "problems listed; nothing was written or locked",
        result.slotCount, result.slotColumns);
  }
  return SayFormat(
      "plan: N=%d, StockDetailTemp has %d slot columns; %d of %d flagged tables would be rebuilt; "
      "nothing was written or locked",
      result.slotCount, result.slotColumns, result.rebuiltTables, result.flaggedRows);
}

std::string OutOfStepLine(const SlotsyncResult& result) {
  return SayFormat(
      "out of step, nothing flagged: N=%d, StockDetailTemp has %d slot columns, and S_Modify "
      "flags no table; nothing was changed",
      result.slotCount, result.slotColumns);
}

int PrintSummary(const SlotsyncResult& result, const CommandLine& line, const Terminal& terminal) {
  std::ostream& out = *terminal.out;
  std::ostream& err = *terminal.err;
  const int exitCode = entry::LastExitCode();
  // The plan's report has begun with this line already.
  const bool planShown = line.plan && !line.json;
  switch (result.outcome) {
    case SLOTSYNC_IN_STEP:
      if (!line.quiet) {
        out << SayFormat("in step: N=%d, StockDetailTemp has %d slot columns; nothing to do",
                         result.slotCount, result.slotColumns)
            << '\n';
      }
      break;
    case SLOTSYNC_COMMITTED:
      WarnIfNothingFlagged(result, exitCode, err);
      if (exitCode == kExitNothingFlagged) {
        // Nothing was flagged, so nothing was committed that a person
        // should take for a change.
        if (!line.quiet) out << OutOfStepLine(result) << '\n';
      } else if (!line.quiet) {
        out << CommittedLine(result) << '\n';
      }
      break;
    case SLOTSYNC_PREVIEWED:
      WarnIfNothingFlagged(result, exitCode, err);
      if (exitCode == kExitNothingFlagged) {
        if (!line.quiet) out << OutOfStepLine(result) << '\n';
      } else if (!line.quiet) {
        out << SayFormat(
                   "dry run: N=%d, StockDetailTemp has %d slot columns; %d of %d flagged tables "
                   "would be rebuilt; rolled back, %s",
                   result.slotCount, result.slotColumns, result.rebuiltTables, result.flaggedRows,
                   Unchanged(result))
            << '\n';
      }
      break;
    case SLOTSYNC_PLANNED:
      WarnIfNothingFlagged(result, exitCode, err);
      if (!line.quiet && !planShown) out << PlanLine(result) << '\n';
      break;
    case SLOTSYNC_PLAN_REFUSED:
      if (!planShown) err << PlanLine(result) << '\n';
      break;
    case SLOTSYNC_COMMIT_UNKNOWN:
      err << Say("commit outcome unknown: the connection broke during the commit") << '\n';
      break;
    case SLOTSYNC_BUSY:
      err << Say("busy: another run is in progress") << '\n';
      break;
    case SLOTSYNC_LOCKED_OUT:
      err << (entry::LastRunWasDeadlockVictim()
                  ? SayFormat("locked out: the run gave way in a deadlock; %s", Unchanged(result))
                  : SayFormat("locked out: a lock wait ran out; %s", Unchanged(result)))
          << '\n';
      break;
    default:
      if (exitCode == kExitInterrupted) {
        err << SayFormat(
                   "interrupted: the running statement was cancelled and the run rolled "
                   "back; %s",
                   Unchanged(result))
            << '\n';
      } else if (exitCode == kExitOutputFailed) {
        err << SayFormat("stopped: the output could not be written, so the run rolled back; %s",
                         Unchanged(result))
            << '\n';
      } else if (exitCode == kExitRolledBack && !SlotsRead()) {
        err << SayFormat("rolled back; %s", Unchanged(result)) << '\n';
      } else if (exitCode == kExitRolledBack) {
        err << SayFormat("rolled back: N=%d, StockDetailTemp has %d slot columns; %s",
                         result.slotCount, result.slotColumns, Unchanged(result))
            << '\n';
      } else {
        err << SayFormat("could not run; %s", Unchanged(result)) << '\n';
      }
      break;
  }
  // A committed run can still carry a message, e.g. a failed disconnect.
  // A refused plan's message is its problems, which the plan has listed.
  const std::string message = entry::LastError();
  if (!message.empty() && result.outcome != SLOTSYNC_PLAN_REFUSED) {
    PrintMessage(err, Shown(message, terminal.errIsTerminal));
  }
  if (result.leftBehind > 0 && result.outcome != SLOTSYNC_COMMITTED) {
    err << "slotsync: "
        << Say("first undo what the warnings above say the run could not undo, each with what to "
               "run; then run slotsync again")
        << '\n';
  } else if (exitCode == kExitLockedOut) {
    err << "slotsync: " << LockedOutNextStep(line) << '\n';
  } else if (const char* next = NextStep(exitCode)) {
    err << "slotsync: " << Say(next) << '\n';
  }
  return exitCode;
}

}  // namespace slotsync::cli
