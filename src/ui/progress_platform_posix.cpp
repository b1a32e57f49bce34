#include <unistd.h>

#include <iostream>

#include "ui/console_progress.h"

namespace slotsync::ui {

std::unique_ptr<ProgressView> MakePlatformProgressView() {
  return MakeConsoleProgressView(std::cerr, isatty(STDERR_FILENO) == 1);
}

}  // namespace slotsync::ui
