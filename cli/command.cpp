#include "command.h"

#include <iostream>
#include <string_view>

#include "entry/version.h"

namespace slotsync::cli {
namespace {

constexpr std::string_view kUsage =
    "usage: slotsync --server HOST --database DB --user USER [--dry-run] [--trace] [--yes] "
    "[--quiet]\n";

constexpr std::string_view kHelp =
    "Brings the size-slot columns x_1..x_N of an order, stock and invoicing database\n"
    "in line with its size groups, rebuilding every flagged table in one transaction.\n"
    "\n"
    "Options:\n"
    "  --help       show this text\n"
    "  --version    show the version\n";

}  // namespace

int RunCommand(const std::vector<std::string>& args, const Terminal& terminal) {
  std::ostream& out = *terminal.out;
  std::ostream& err = *terminal.err;
  if (args.size() == 1 && args[0] == "--version") {
    out << "slotsync " << kVersion << '\n';
    return kExitOk;
  }
  if (args.size() == 1 && args[0] == "--help") {
    out << kUsage << '\n' << kHelp;
    return kExitOk;
  }
  err << kUsage;
  return kExitUsage;
}

}  // namespace slotsync::cli
