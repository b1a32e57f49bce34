#include "ui/console_line.h"

#include <ostream>
#include <utility>

namespace slotsync::ui {
namespace {

std::ostream* spinnerDrawnOn = nullptr;  // guarded by ConsoleLineMutex()

}  // namespace

std::mutex& ConsoleLineMutex() {
  static std::mutex mutex;
  return mutex;
}

void SetSpinnerDrawnOn(std::ostream* stream) {
  spinnerDrawnOn = stream;
}

ConsoleLine::ConsoleLine() : lock_(ConsoleLineMutex()) {
  if (std::ostream* stream = std::exchange(spinnerDrawnOn, nullptr)) {
    *stream << "\r\x1b[K" << std::flush;
  }
}

}  // namespace slotsync::ui
