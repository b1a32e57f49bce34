#pragma once

// The value of --password blanked where other processes read the command's
// arguments (the process list; /proc/<pid>/cmdline; on Windows the command
// line in the process's parameters): the argument found by its position, as
// the command's parser reads it, never by its text (the password may also
// be the server's name, or stand in an earlier argument), and written as a
// fixed "***" with the arguments after it moved up, so that neither the
// password nor its length shows.
//
// Plain memory and text, so that the same code is tested everywhere.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace slotsync::cli {

// POSIX: the arguments as the kernel laid them out, one after the other
// with a NUL after each; rewritten with the password's value as "***" and
// the bytes freed at the end zeroed. Where that has no room (a password
// shorter than "***") or the arguments are laid out otherwise, the value is
// overwritten in place instead: "***" as far as it goes, then NUL bytes.
void BlankPasswordArguments(int argc, char** argv);

// One argument of a Windows command line: where its text stands in the line
// ([begin, end), quotes and backslashes included) and what it says, as
// CommandLineToArgvW splits the line.
struct CommandLineArgument {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::u16string text;
};
std::vector<CommandLineArgument> SplitWindowsCommandLine(std::u16string_view line);

// Windows: the command line with the password's argument rewritten -
// "***", or "--password=***" for the joined form - and the rest as it was,
// in at most `capacity` characters: where the line has no room to grow (a
// password shorter than "***"), the argument keeps its length, in "*".
// The line unchanged when it names no password.
std::u16string BlankPasswordInCommandLine(std::u16string_view line, std::size_t capacity);

}  // namespace slotsync::cli
