#include "run_report.h"

#include <ostream>

#include "entry/audit_log.h"
#include "entry/public_api.h"
#include "output_file.h"
#include "plan_output.h"
#include "say.h"
#include "summary.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

// Whatever stands in a header comment of the script stays on its line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

int WriteScript(const RunRecord& record, const SlotsyncResult& result, const CommandLine& line,
                const Terminal& terminal) {
  if (result.outcome == SLOTSYNC_IN_STEP) {
    *terminal.err << "slotsync: " << Say("in step: nothing to write; no script written") << '\n';
    return kExitOk;
  }
  if (entry::LastExitCode() == kExitNothingFlagged) {
    *terminal.err << "slotsync: "
                  << Say("out of step, nothing flagged: nothing to write; no script written")
                  << '\n';
    return kExitOk;
  }
  if (result.outcome != SLOTSYNC_PLANNED) {
    *terminal.err << "slotsync: "
                  << (result.outcome == SLOTSYNC_PLAN_REFUSED
                          ? Say("no script written: the plan found problems")
                          : Say("no script written: the plan could not run"))
                  << '\n';
    return kExitOk;
  }
  CommandLine header = line;
  header.server = OneLine(line.server);
  // The script is UTF-8 whatever the terminal's encoding; its checks and its
  // lock name the database as the run did.
  header.database =
      OneLine(text::GbkToUtf8(text::TerminalToGbkExactly(line.database).value_or(line.database)));
  const std::string failed =
      WriteNewFile(*line.script, PlanScript(record, result, header, entry::UtcTimestamp()));
  if (!failed.empty()) {
    *terminal.err << "slotsync: " << SayFormat("the script could not be written: %s", failed)
                  << '\n';
    return kExitOutputFailed;
  }
  if (!line.quiet && !line.json)
    *terminal.err << "slotsync: " << SayFormat("script written to %s", *line.script) << '\n';
  return kExitOk;
}

}  // namespace

int Report(const RunRecord& record, const SlotsyncResult& result, const CommandLine& line,
           const Terminal& terminal) {
  if (line.plan && !line.json) PrintPlan(record, result, *terminal.out, terminal.outIsTerminal);
  int exitCode = 0;
  if (line.json) {
    // Standard output holds the JSON alone; the lines for people go to
    // standard error.
    Terminal people = terminal;
    people.out = terminal.err;
    people.outIsTerminal = terminal.errIsTerminal;
    exitCode = PrintSummary(result, line, people);
    *terminal.out << JsonResult(record) << '\n';
  } else {
    exitCode = PrintSummary(result, line, terminal);
  }
  if (line.script) {
    const int written = WriteScript(record, result, line, terminal);
    if (written != kExitOk) return written;
  }
  return exitCode;
}

}  // namespace slotsync::cli
