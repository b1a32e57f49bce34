#include "table_display.h"

#include <cstdio>
#include <iomanip>
#include <sstream>

#include "display_width.h"
#include "say.h"
#include "summary.h"
#include "text/gbk.h"
#include "ui/console_line.h"

#include "table_kind.h"

namespace slotsync::cli {
namespace {

// Translated where shown.
const char* StatusName(int status) {
  switch (status) {
    case SLOTSYNC_TABLE_WORKING:
      return N_("working");
    case SLOTSYNC_TABLE_REBUILT:
      return N_("rebuilt");
    case SLOTSYNC_TABLE_UNCHANGED:
      return N_("skipped");
    case SLOTSYNC_TABLE_AT_NOTICE:
      return N_("rebuilt, size texts left (notice)");
    case SLOTSYNC_TABLE_FAILED:
      return N_("failed");
    case SLOTSYNC_TABLE_UNDONE:
      return N_("rolled back");
    case SLOTSYNC_TABLE_REFUSED:
      return N_("refused (see problems)");
    case SLOTSYNC_TABLE_COMMIT_UNKNOWN:
      return N_("commit unknown");
    case SLOTSYNC_TABLE_PLANNED:
      return N_("planned");
    default:
      return N_("not reached");
  }
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

// A rebuilt table's status says what went over to its new tables with it
// (`carried` in GBK); in the terminal's encoding.
std::string WhatHappened(int status, const std::string& carried) {
  const std::string text = Say(StatusName(status));
  const bool built = status == SLOTSYNC_TABLE_REBUILT || status == SLOTSYNC_TABLE_AT_NOTICE;
  if (!built || carried.empty()) return text;
  // TRANSLATORS: a rebuilt table's status, then what went over to its new
  // tables ("rebuilt; 3 indexes carried").
  return SayFormat("%s; %s", text, text::GbkToTerminal(carried));
}

std::string WhatHappened(int status, const rebuild::CarriedCounts& carried) {
  return WhatHappened(status, rebuild::CarriedText(carried));
}

std::string Count(long long number) {
  return number < 0 ? "-" : WithThousands(number);
}

}  // namespace

std::string WithThousands(long long number) {
  std::string digits = std::to_string(number < 0 ? -number : number);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return number < 0 ? "-" + digits : digits;
}

void TableDisplay::Attach(SlotsyncOptions& options) {
  options.onTableReport = OnReport;
  options.tableReportContext = this;
  options.onFinding = OnFinding;
  options.findingContext = this;
  if (quiet_) return;
  options.onTableProgress = OnProgress;
  options.tableProgressContext = this;
  // The table lines take the place of the built-in spinner.
  options.onProgress = OnWindow;
  options.progressContext = this;
}

void TableDisplay::OnProgress(void* context, const SlotsyncTableReport* table) {
  static_cast<TableDisplay*>(context)->ShowProgress(*table);
}

void TableDisplay::OnReport(void* context, const SlotsyncTableReport* table) {
  auto& self = *static_cast<TableDisplay*>(context);
  self.rows_.push_back(
      {table->tableTag, table->tableName, table->kind, table->rowsCopied, table->rowsLost,
       table->seconds, table->status, table->skipReason != nullptr ? table->skipReason : "",
       rebuild::CarriedText(CarriedOf(*table)), ItemsOf(table->dependentsLost, '\n')});
}

void TableDisplay::OnFinding(void* context, int tableTag, int severity, const char* message) {
  if (severity != SLOTSYNC_NOTICE) return;
  static_cast<TableDisplay*>(context)->notices_.emplace_back(tableTag, message);
}

void TableDisplay::OnWindow(void* context, int event, const char* text) {
  auto& self = *static_cast<TableDisplay*>(context);
  if (event == SLOTSYNC_PROGRESS_PROMPT) self.prompt_ = text;
  const bool plainShow = event == SLOTSYNC_PROGRESS_SHOW && !self.terminal_.errIsTerminal;
  if (event != SLOTSYNC_PROGRESS_WAITING && !plainShow) return;
  const ui::ConsoleLine console;
  *self.terminal_.err << "slotsync: "
                      << Shown(plainShow ? self.prompt_ : text, self.terminal_.errIsTerminal)
                      << std::endl;
  StopRunIfOutputLost(*self.terminal_.err);
}

std::string TableDisplay::ProgressLine(const SlotsyncTableReport& table) const {
  std::string line = "[" + std::to_string(table.position) + "/" + std::to_string(table.count) +
                     "] TableTag " + std::to_string(table.tableTag);
  if (table.tableName[0] != '\0') line += " " + Shown(table.tableName, terminal_.errIsTerminal);
  line += ": ";
  if (table.kind == SLOTSYNC_TABLE_DETAIL) {
    line += table.rows < 0 ? Say("locking")
                           : SayPlural("copying %s row", "copying %s rows", table.rows,
                                       WithThousands(table.rows));
  } else if (table.kind == SLOTSYNC_TABLE_PER_TERMINAL) {
    line += Say("recreating empty");
  } else {
    line += Say("checking");
  }
  line += " ...";
  if (table.status != SLOTSYNC_TABLE_WORKING) {
    // TRANSLATORS: how long a table took, then what became of it ("0.4 s, rebuilt").
    line += " " + SayFormat("%s s, %s", Seconds(table.seconds),
                            WhatHappened(table.status, CarriedOf(table)));
  }
  return line;
}

void TableDisplay::ShowProgress(const SlotsyncTableReport& table) {
  const std::string line = ProgressLine(table);
  const bool done = table.status != SLOTSYNC_TABLE_WORKING;
  const ui::ConsoleLine console;
  std::ostream& err = *terminal_.err;
  if (!terminal_.errIsTerminal) {
    // Plain lines for a log: one per table, when it is done.
    if (done) err << line << '\n' << std::flush;
    StopRunIfOutputLost(err);
    return;
  }
  // Blanks over what is left of the longer line before, which works on
  // every console, escape sequences or not; counted in columns, not bytes:
  // a Chinese character takes two columns and two or three bytes, and blanks
  // past the line's end would wrap it.
  const std::size_t width = ShownWidth(line);
  err << '\r' << line;
  if (width < drawn_) err << std::string(drawn_ - width, ' ');
  drawn_ = done ? 0 : width;
  if (done) err << '\n';
  err << std::flush;
  // Whoever writes next (a notice, an interruption) starts on a line of
  // their own.
  ui::SetLineOpenOn(done ? nullptr : &err);
  StopRunIfOutputLost(err);
}

void TableDisplay::PrintSummary() const {
  std::ostream& err = *terminal_.err;
  for (const auto& [tableTag, why] : notices_) {
    for (const Row& row : rows_) {
      if (row.tableTag != tableTag || row.status != SLOTSYNC_TABLE_AT_NOTICE) continue;
      err << "slotsync: "
          << SayFormat("TableTag %d stays flagged: %s", tableTag,
                       Shown(why, terminal_.errIsTerminal))
          << '\n';
    }
  }
  if (quiet_ || rows_.empty()) return;
  // The headings translated line up by the columns they take.
  std::ostringstream table;
  table << Left("TableTag", 9) << Left(Say("table"), 22) << Left(Say("kind"), 14)
        << Right(Say("rows copied"), 13) << Right(Say("rows lost"), 12) << Right(Say("seconds"), 9)
        << "  " << Say("what happened") << '\n';
  for (const Row& row : rows_) {
    const bool copied = row.kind == SLOTSYNC_TABLE_DETAIL;
    const std::string name = row.tableName.empty() ? "-" : row.tableName;
    table << std::left << std::setw(9) << row.tableTag
          << PadToWidth(Shown(name, terminal_.outIsTerminal), name, 22)
          << Left(Say(KindName(row.kind)), 14) << std::right << std::setw(13)
          << (copied ? Count(row.rowsCopied) : "-") << std::setw(12) << Count(row.rowsLost)
          << std::setw(9) << Seconds(row.seconds) << "  ";
    const std::string what = WhatHappened(row.status, row.carried);
    if (row.skipReason.empty()) {
      table << what;
    } else {
      // TRANSLATORS: a table's status, then why ("skipped: TableTags 27 and
      // 35 are never rebuilt").
      table << SayFormat("%s: %s", what, Shown(row.skipReason, terminal_.outIsTerminal));
    }
    table << '\n';
  }
  *terminal_.out << table.str();
  // Only a rebuilt table has lost anything; an undone one still has it all.
  for (const Row& row : rows_) {
    if (row.status != SLOTSYNC_TABLE_REBUILT && row.status != SLOTSYNC_TABLE_AT_NOTICE) continue;
    for (const std::string& lost : row.dependentsLost) {
      *terminal_.err << "slotsync: "
                     << SayFormat("TableTag %d lost by design: %s", row.tableTag,
                                  Shown(lost, terminal_.errIsTerminal))
                     << '\n';
    }
  }
}

}  // namespace slotsync::cli
