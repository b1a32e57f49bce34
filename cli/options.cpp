#include "options.h"

#include <map>
#include <string_view>

namespace slotsync::cli {
namespace {

bool* FlagOf(CommandLine& line, std::string_view name) {
  const std::map<std::string_view, bool*> flags = {
      {"--help", &line.help},       {"-h", &line.help},
      {"--version", &line.version}, {"--password-stdin", &line.passwordStdin},
      {"--dry-run", &line.dryRun},  {"--trace", &line.trace},
      {"--yes", &line.yes},         {"--quiet", &line.quiet},
  };
  const auto it = flags.find(name);
  return it == flags.end() ? nullptr : it->second;
}

std::string* ValueOf(CommandLine& line, std::string_view name, std::optional<std::string>& pw) {
  if (name == "--server") return &line.server;
  if (name == "--database") return &line.database;
  if (name == "--user") return &line.user;
  if (name == "--password") {
    pw.emplace();
    return &*pw;
  }
  return nullptr;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  std::vector<std::string_view> seen;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    std::optional<std::string_view> inlineValue;
    if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      inlineValue = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    }
    for (auto name : seen) {
      if (name == arg) throw UsageError{std::string(arg) + " is given twice"};
    }
    seen.push_back(arg);
    if (bool* flag = FlagOf(line, arg)) {
      if (inlineValue) throw UsageError{std::string(arg) + " takes no value"};
      *flag = true;
    } else if (std::string* value = ValueOf(line, arg, line.password)) {
      if (inlineValue) {
        *value = std::string(*inlineValue);
      } else if (i + 1 < args.size()) {
        *value = args[++i];
      } else {
        throw UsageError{std::string(arg) + " needs a value"};
      }
    } else {
      throw UsageError{"unknown option " + std::string(args[i])};
    }
  }
  if (line.help || line.version) return line;
  for (const auto& [name, value] :
       {std::pair{"--server", &line.server}, std::pair{"--database", &line.database},
        std::pair{"--user", &line.user}}) {
    if (value->empty()) throw UsageError{std::string(name) + " is required"};
  }
  if (line.password && line.passwordStdin) {
    throw UsageError{"--password and --password-stdin exclude each other"};
  }
  return line;
}

}  // namespace slotsync::cli
