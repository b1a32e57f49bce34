#include "ui/console_line.h"

#include <ostream>
#include <utility>

namespace slotsync::ui {
namespace {

std::ostream* spinnerDrawnOn = nullptr;  // guarded by ConsoleLineMutex()
std::ostream* lineOpenOn = nullptr;      // guarded by ConsoleLineMutex()

}  // namespace

std::mutex& ConsoleLineMutex() {
  static std::mutex mutex;
  return mutex;
}

void SetSpinnerDrawnOn(std::ostream* stream) {
  spinnerDrawnOn = stream;
}

void SetLineOpenOn(std::ostream* stream) {
  lineOpenOn = stream;
}

bool LineOpenOn(const std::ostream* stream) {
  return lineOpenOn != nullptr && lineOpenOn == stream;
}

ConsoleLine::ConsoleLine(const std::ostream& own) : lock_(ConsoleLineMutex()) {
  if (std::ostream* stream = std::exchange(spinnerDrawnOn, nullptr)) {
    *stream << "\r\x1b[K" << std::flush;
  }
  if (lineOpenOn != nullptr && lineOpenOn != &own) {
    *std::exchange(lineOpenOn, nullptr) << '\n' << std::flush;
  }
}

ConsoleLine::ConsoleLine() : lock_(ConsoleLineMutex()) {
  if (std::ostream* stream = std::exchange(spinnerDrawnOn, nullptr)) {
    *stream << "\r\x1b[K" << std::flush;
  }
  if (std::ostream* stream = std::exchange(lineOpenOn, nullptr)) {
    *stream << '\n' << std::flush;
    ended_ = true;
  }
}

}  // namespace slotsync::ui
