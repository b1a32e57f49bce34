#pragma once

// The progress view where there is no progress window: a line on a stream.

#include <chrono>
#include <iosfwd>
#include <memory>

#include "ui/progress_view.h"

namespace slotsync::ui {

// On a terminal the line carries a spinner, turned by a small thread of its
// own every `interval` (standing in for the window's clip, which plays by
// itself too), and is cleared when the view is destroyed. Elsewhere, in a log
// file or a pipe, the prompt is written once, as a plain line, when shown.
std::unique_ptr<ProgressView> MakeConsoleProgressView(
    std::ostream& out, bool isTerminal,
    std::chrono::milliseconds interval = std::chrono::milliseconds(125));

}  // namespace slotsync::ui
