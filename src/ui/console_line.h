#pragma once

// The last line of a terminal, which the console spinner redraws in place.
// Everyone else who writes to the terminal while a run is in progress - the
// statement trace, a notice and its "press Enter", an interruption notice -
// takes the line first: the spinner's drawing is wiped, their lines go out
// whole, and the spinner draws again below them on its next turn. Without
// that, a "\r" redraw lands in the middle of someone else's line.

#include <iosfwd>
#include <mutex>

namespace slotsync::ui {

class ConsoleLine {
 public:
  ConsoleLine();  // waits while another writer has the line
  // For the writer of the open line, who draws it again in place: the line
  // open on `own` is left open; one open elsewhere is ended as always.
  explicit ConsoleLine(const std::ostream& own);
  ~ConsoleLine() = default;
  ConsoleLine(const ConsoleLine&) = delete;
  ConsoleLine& operator=(const ConsoleLine&) = delete;
  // Whether taking the line ended an open line (and so the writer starts
  // on a new one).
  bool EndedALine() const { return ended_; }

 private:
  std::unique_lock<std::mutex> lock_;
  bool ended_ = false;
};

// For the spinner: the lock it draws under, and where its line now stands
// (nullptr once wiped).
std::mutex& ConsoleLineMutex();
void SetSpinnerDrawnOn(std::ostream* stream);
// For a progress line left open (no newline yet): the next writer ends it
// with a newline rather than wiping it, so it stays readable above theirs.
void SetLineOpenOn(std::ostream* stream);
// Whether a line is open on `stream`; asked with ConsoleLineMutex() held.
bool LineOpenOn(const std::ostream* stream);

}  // namespace slotsync::ui
