#pragma once

// Files the command writes whole, such as the plan's script.

#include <string>
#include <string_view>

namespace slotsync::cli {

// Writes `content` to a new file beside `path` and renames it into place,
// so that nothing is ever written through a symbolic link at `path` (the
// rename replaces the link itself) and a reader never sees half a file. A
// FIFO, a device or a directory at `path` is refused by name. Returns what
// went wrong (in the terminal's encoding), or empty text.
std::string WriteNewFile(const std::string& path, std::string_view content);

// Whether WriteNewFile could write `path` (a file beside it is made and
// removed), asked before anything is sent, so that a plan is never made
// only to find its script cannot be kept. With `directory`, `path` is a
// folder that will hold files (made when missing). What is wrong, or empty.
std::string CheckNewFileCanBeWritten(const std::string& path, bool directory = false);

}  // namespace slotsync::cli
