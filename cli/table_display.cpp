#include "table_display.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <iterator>
#include <mutex>
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
    case SLOTSYNC_TABLE_INTERRUPTED:
      return N_("interrupted (rolled back)");
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

std::string EmptiedList(const std::vector<EmptiedTable>& tables) {
  std::string list;
  for (const EmptiedTable& table : tables) {
    // TRANSLATORS: a table recreated empty and the rows it held ("SalesDetail_U 4").
    const std::string item =
        table.rows < 0 ? SayFormat("%s (rows not known)", Shown(table.name, false))
                       : SayFormat("%s %s", Shown(table.name, false), WithThousands(table.rows));
    // TRANSLATORS: what separates the items of a list.
    list += list.empty() ? item : Say(", ") + item;
  }
  return list;
}

std::vector<EmptiedTable> HoldingRows(const std::vector<EmptiedTable>& tables) {
  std::vector<EmptiedTable> holding;
  std::copy_if(tables.begin(), tables.end(), std::back_inserter(holding),
               [](const EmptiedTable& table) { return table.rows != 0; });
  return holding;
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
  self.rows_.push_back({table->tableTag, table->tableName, table->kind, table->rowsCopied,
                        table->rowsLost, table->seconds, table->status,
                        table->skipReason != nullptr ? table->skipReason : "",
                        rebuild::CarriedText(CarriedOf(*table)),
                        ItemsOf(table->dependentsLost, '\n'), EmptiedOf(*table)});
}

void TableDisplay::OnFinding(void* context, int tableTag, int severity, const char* message) {
  auto& self = *static_cast<TableDisplay*>(context);
  if (severity == SLOTSYNC_NOTICE) self.notices_.emplace_back(tableTag, message);
  if (severity == SLOTSYNC_NOTE) self.notes_.emplace_back(tableTag, message);
}

void TableDisplay::OnWindow(void* context, int event, const char* text) {
  auto& self = *static_cast<TableDisplay*>(context);
  if (event == SLOTSYNC_PROGRESS_PROMPT) self.prompt_ = text;
  // The copy of an online run says how far it has come in the same place.
  if (event == SLOTSYNC_PROGRESS_CHECKING || event == SLOTSYNC_PROGRESS_COPYING) {
    return self.ShowChecking(text);
  }
  if (event == SLOTSYNC_PROGRESS_CLOSE) return self.StopTicking();
  // The application's own waiting line is Chinese in every language: it
  // belongs with Chinese messages, not among English ones.
  const bool plainShow = event == SLOTSYNC_PROGRESS_SHOW && !self.terminal_.errIsTerminal &&
                         text::MessageLanguage() == text::Language::kChinese;
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
  std::ostream& err = *terminal_.err;
  // Its own line stays open: it is drawn again in place.
  const ui::ConsoleLine console(err);
  if (!terminal_.errIsTerminal) {
    // Plain lines for a log: one per table, when it is done.
    if (done) err << line << '\n' << std::flush;
    StopRunIfOutputLost(err);
    return;
  }
  if (done) {
    working_.reset();
    if (table.kind == SLOTSYNC_TABLE_DETAIL && table.rowsCopied > 0) {
      rowsCopiedSoFar_ += static_cast<double>(table.rowsCopied);
      copySecondsSoFar_ += table.seconds;
    }
  } else {
    if (!working_ || working_->tableTag != table.tableTag) {
      working_ = Working{table.tableTag, {}, -1, std::chrono::steady_clock::now()};
    }
    working_->line = line;
    working_->rows = table.kind == SLOTSYNC_TABLE_DETAIL ? table.rows : -1;
    if (!ticker_.joinable()) {
      ticker_ = std::jthread([this](std::stop_token stop) {
        std::mutex mutex;
        std::unique_lock lock(mutex);
        while (!tick_.wait_for(lock, stop, std::chrono::seconds(1), [] { return false; }) &&
               !stop.stop_requested()) {
          Tick();
        }
      });
    }
  }
  Draw(done ? line + '\n' : line);
}

void TableDisplay::Draw(const std::string& line) {
  std::ostream& err = *terminal_.err;
  const bool ended = line.ends_with('\n');
  // Blanks over what is left of the longer line before, which works on
  // every console, escape sequences or not; counted in columns, not bytes:
  // a Chinese character takes two columns and two or three bytes, and blanks
  // past the line's end would wrap it. A line another writer has ended is
  // not drawn over: this one goes below it.
  const std::string shown = ended ? line.substr(0, line.size() - 1) : line;
  const std::size_t width = ShownWidth(shown);
  const std::size_t over = ui::LineOpenOn(&err) ? drawn_ : 0;
  err << '\r' << shown;
  if (width < over) err << std::string(over - width, ' ');
  drawn_ = ended ? 0 : width;
  if (ended) err << '\n';
  err << std::flush;
  // Whoever writes next (a notice, an interruption) starts on a line of
  // their own.
  ui::SetLineOpenOn(ended ? nullptr : &err);
  StopRunIfOutputLost(err);
}

void TableDisplay::ShowChecking(const std::string& text) {
  const std::string line = "slotsync: " + Shown(text, terminal_.errIsTerminal);
  std::ostream& err = *terminal_.err;
  const ui::ConsoleLine console(err);
  if (!terminal_.errIsTerminal) {
    err << line << '\n' << std::flush;
    StopRunIfOutputLost(err);
    return;
  }
  // The first table's line takes its place.
  Draw(line);
}

std::string TableDisplay::TimeTaken(const std::chrono::steady_clock::duration& taken) const {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(taken).count();
  std::string text = SayFormat("%d s", static_cast<long long>(seconds));
  // A long copy only, at the pace of the copies already done: a guess from
  // a few rows would mislead.
  if (!working_ || working_->rows <= 0 || seconds < 5 || copySecondsSoFar_ < 1 ||
      rowsCopiedSoFar_ < 1) {
    return text;
  }
  const double total = static_cast<double>(working_->rows) * copySecondsSoFar_ / rowsCopiedSoFar_;
  const auto left = static_cast<long long>(total - static_cast<double>(seconds) + 0.5);
  if (left <= 0) return text;
  // TRANSLATORS: the time a copy has taken, then an estimate of what is left
  // ("12 s, about 40 s left").
  return SayFormat("%s, about %d s left", text, left);
}

void TableDisplay::StopTicking() {
  if (ticker_.joinable()) {
    ticker_.request_stop();
    ticker_.join();
  }
  // Ended, whatever ended it: nothing is drawn again, and a line left open
  // (the check's, when no table followed) is ended before the outcome.
  const std::lock_guard lock(ui::ConsoleLineMutex());
  working_.reset();
  if (ui::LineOpenOn(terminal_.err)) {
    *terminal_.err << '\n' << std::flush;
    ui::SetLineOpenOn(nullptr);
    drawn_ = 0;
  }
}

void TableDisplay::Tick() {
  const std::lock_guard lock(ui::ConsoleLineMutex());
  if (!working_) return;
  Draw(working_->line + " " + TimeTaken(std::chrono::steady_clock::now() - working_->start));
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
  // What the run found out on its way (rights or room it could not read,
  // what the catalog says), for the person as for the JSON.
  for (const auto& [tableTag, note] : notes_) {
    const std::string shown = Shown(note, terminal_.errIsTerminal);
    *terminal_.err << "slotsync: "
                   << (tableTag != 0 ? SayFormat("note: TableTag %d: %s", tableTag, shown)
                                     : SayFormat("note: %s", shown))
                   << '\n';
  }
  // Only a rebuilt table has lost anything; an undone one still has it all.
  for (const Row& row : rows_) {
    if (row.status != SLOTSYNC_TABLE_REBUILT && row.status != SLOTSYNC_TABLE_AT_NOTICE) continue;
    for (const std::string& lost : row.dependentsLost) {
      *terminal_.err << "slotsync: "
                     << SayFormat("TableTag %d lost by design: %s", row.tableTag,
                                  Shown(lost, terminal_.errIsTerminal))
                     << '\n';
    }
    if (const auto emptied = HoldingRows(row.emptied); !emptied.empty()) {
      *terminal_.err << "slotsync: "
                     << SayFormat("TableTag %d recreated empty by design: %s", row.tableTag,
                                  EmptiedList(emptied))
                     << '\n';
    }
  }
}

}  // namespace slotsync::cli
