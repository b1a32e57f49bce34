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
  ~ConsoleLine() = default;
  ConsoleLine(const ConsoleLine&) = delete;
  ConsoleLine& operator=(const ConsoleLine&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

// For the spinner: the lock it draws under, and where its line now stands
// (nullptr once wiped).
std::mutex& ConsoleLineMutex();
void SetSpinnerDrawnOn(std::ostream* stream);
// For a progress line left open (no newline yet): the next writer ends it
// with a newline rather than wiping it, so it stays readable above theirs.
void SetLineOpenOn(std::ostream* stream);

}  // namespace slotsync::ui
