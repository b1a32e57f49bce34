#include "options.h"

#include <map>
#include <string_view>

#include "say.h"
#include "targets.h"
#include "text/messages.h"

namespace slotsync::cli {
namespace {

// sqlcmd's spellings, so that its users' habits work here.
std::string_view LongName(std::string_view name) {
  static const std::map<std::string_view, std::string_view> shortNames = {
      {"-S", "--server"},
      {"-d", "--database"},
      {"-U", "--user"},
      {"-C", "--trust-server-certificate"},
      {"-N", "--encrypt"},
      {"-?", "--help"},
      {"-h", "--help"},
      {"-j", "--jobs"},
      {"-E", "--trusted-connection"},
  };
  const auto it = shortNames.find(name);
  return it == shortNames.end() ? name : it->second;
}

bool* FlagOf(CommandLine& line, std::string_view name) {
  const std::map<std::string_view, bool*> flags = {
      {"--help", &line.help},
      {"--version", &line.version},
      {"--password-stdin", &line.passwordStdin},
      {"--empty-password", &line.emptyPassword},
      {"--dry-run", &line.dryRun},
      {"--trace", &line.trace},
      {"--yes", &line.yes},
      {"--quiet", &line.quiet},
      {"--trust-server-certificate", &line.trustServerCertificate},
      {"--plan", &line.plan},
      {"--json", &line.json},
      {"--all-databases", &line.allDatabases},
      {"--stop-on-failure", &line.stopOnFailure},
      {"--trusted-connection", &line.trustedConnection},
      {"--online", &line.online},
      {"--clean-up", &line.cleanUp},
  };
  const auto it = flags.find(name);
  return it == flags.end() ? nullptr : it->second;
}

bool IsFlag(std::string_view name) {
  CommandLine scratch;
  return FlagOf(scratch, name) != nullptr;
}

struct Argument {
  std::string_view name;                  // the long name
  std::string_view given;                 // as typed, for messages
  std::optional<std::string_view> value;  // "--name=value" or "-Svalue"
};

Argument Split(std::string_view arg) {
  if (arg.starts_with("--")) {
    if (const auto equals = arg.find('='); equals != arg.npos) {
      return {arg.substr(0, equals), arg.substr(0, equals), arg.substr(equals + 1)};
    }
    return {arg, arg, std::nullopt};
  }
  if (arg.size() > 2 && arg[0] == '-') {
    const std::string_view name = LongName(arg.substr(0, 2));
    if (name != arg.substr(0, 2) && !IsFlag(name)) {
      return {name, arg.substr(0, 2), arg.substr(2)};
    }
  }
  return {LongName(arg), arg, std::nullopt};
}

sql::Encryption EncryptionLevel(std::string_view value) {
  if (value == "strict" || value == "s") return sql::Encryption::kStrict;
  if (value == "mandatory" || value == "m") return sql::Encryption::kMandatory;
  if (value == "optional" || value == "o") return sql::Encryption::kOptional;
  throw UsageError{SayFormat("--encrypt takes strict, mandatory or optional, not '%s'", value)};
}

// The catalog's two languages, under the names the library takes.
std::string LanguageName(const std::string& value) {
  const auto language = text::LanguageFromName(value);
  if (!language || value == "C" || value == "POSIX") {
    throw UsageError{SayFormat("--lang takes zh_CN or en, not '%s'", value)};
  }
  return *language == text::Language::kChinese ? "zh_CN" : "en";
}

class Parser {
 public:
  explicit Parser(const Arguments& args) : args_(args) {}

  CommandLine Parse() {
    for (i_ = 0; i_ < args_.size(); ++i_) Take(Split(args_[i_].View()));
    return line_;
  }

 private:
  void Take(const Argument& arg) {
    for (auto name : seen_) {
      if (name == arg.name) throw UsageError{SayFormat("%s is given twice", arg.given)};
    }
    seen_.push_back(arg.name);
    if (bool* flag = FlagOf(line_, arg.name)) {
      if (arg.value) throw UsageError{SayFormat("%s takes no value", arg.given)};
      *flag = true;
    } else if (arg.name == "--encrypt") {
      // sqlcmd's -N alone asks for mandatory encryption.
      const bool bare = !arg.value && arg.given == "-N" &&
                        (i_ + 1 == args_.size() || args_[i_ + 1].View().starts_with("-"));
      line_.encrypt = bare ? sql::Encryption::kMandatory : EncryptionLevel(Value(arg));
    } else if (arg.name == "--lock-timeout") {
      line_.lockTimeout = Number(arg, 0, 2'000'000);
    } else if (arg.name == "--cutover-timeout") {
      line_.cutoverTimeout = Number(arg, 1, 3600);
    } else if (arg.name == "--retry") {
      line_.retry = Number(arg, 0, 10);
    } else if (arg.name == "--jobs") {
      line_.jobs = Number(arg, 1, 64);
    } else if (arg.name == "--log") {
      line_.logFile = Value(arg);
    } else if (arg.name == "--lang") {
      line_.language = LanguageName(Value(arg));
    } else if (arg.name == "--password") {
      // Straight from the argument into a wiped buffer, no copy between.
      line_.password.emplace(ValueView(arg));
    } else if (std::string* value = ValueOf(arg.name)) {
      *value = Value(arg);
    } else if (arg.given.starts_with("-P")) {
      throw UsageError{
          Say("-P is not taken: on the command line the password is visible to every user of "
              "this machine. The password comes from SLOTSYNC_PASSWORD, --password-stdin or a "
              "prompt (--password PW if you must)")};
    } else {
      throw UsageError{SayFormat("unknown option %s", args_[i_].View())};
    }
  }

  std::string_view ValueView(const Argument& arg) {
    if (arg.value) return *arg.value;
    if (i_ + 1 < args_.size()) return args_[++i_].View();
    throw UsageError{SayFormat("%s needs a value", arg.given)};
  }

  std::string Value(const Argument& arg) { return std::string(ValueView(arg)); }

  int Number(const Argument& arg, int lowest, int highest) {
    const std::string text = Value(arg);
    int number = 0;
    for (const char c : text) {
      if (c < '0' || c > '9' || number > highest) {
        number = highest + 1;
        break;
      }
      number = number * 10 + (c - '0');
    }
    if (text.empty() || number < lowest || number > highest) {
      throw UsageError{SayFormat("%s takes a whole number from %d to %d, not '%s'", arg.given,
                                 lowest, highest, text)};
    }
    return number;
  }

  std::string* ValueOf(std::string_view name) {
    if (name == "--server") return &line_.server;
    if (name == "--database") return &line_.database;
    if (name == "--user") return &line_.user;
    if (name == "--script") return &line_.script.emplace();
    if (name == "--databases") return &line_.databasesFile.emplace();
    if (name == "--dsn") return &line_.dataSource.emplace();
    return nullptr;
  }

  const Arguments& args_;
  std::size_t i_ = 0;
  CommandLine line_;
  std::vector<std::string_view> seen_;
};

// The options that take a value, after their name or joined to it.
bool TakesValue(std::string_view name) {
  for (const std::string_view option :
       {"--server", "--database", "--user", "--password", "--encrypt", "--lock-timeout", "--retry",
        "--jobs", "--log", "--lang", "--script", "--databases", "--dsn",
        "--cutover-timeout"}) {
    if (name == option) return true;
  }
  return false;
}

}  // namespace

std::vector<ArgumentPosition> PasswordPositions(const std::vector<std::string_view>& args) {
  std::vector<ArgumentPosition> positions;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const Argument arg = Split(args[i]);
    if (!TakesValue(arg.name) || arg.value) {
      if (arg.name == "--password" && arg.value)
        positions.push_back({i, args[i].size() - arg.value->size()});
      continue;
    }
    // sqlcmd's -N alone takes no value.
    const bool bare = arg.given == "-N" && (i + 1 == args.size() || args[i + 1].starts_with("-"));
    if (bare || i + 1 == args.size()) continue;
    ++i;
    if (arg.name == "--password") positions.push_back({i, 0});
  }
  return positions;
}

// sqlcmd's defaults for what the command line leaves out. A login by -E
// takes no user, a data source names its own server.
void TakeEnvironment(CommandLine& line, const EnvironmentReader& environment) {
  if (!environment) return;
  const auto fill = [&environment](std::string& value, const char* name) {
    const char* fromEnvironment = environment(name);
    if (value.empty() && fromEnvironment != nullptr) value = fromEnvironment;
  };
  if (!line.dataSource) fill(line.server, "SQLCMDSERVER");
  if (!line.databasesFile && !line.allDatabases) fill(line.database, "SQLCMDDBNAME");
  if (!line.trustedConnection) fill(line.user, "SQLCMDUSER");
}

// The logins sqlcmd offers, each excluding what it stands in for.
void CheckLogin(const CommandLine& line) {
  if (line.dataSource && line.dataSource->empty()) {
    throw UsageError{Say("--dsn needs the name of a data source")};
  }
  if (line.dataSource && !line.server.empty()) {
    throw UsageError{
        Say("--dsn and --server exclude each other: the data source names the server")};
  }
  if (line.dataSource && line.databasesFile) {
    throw UsageError{
        Say("--dsn names one server: name its databases with -d a,b or --all-databases")};
  }
  if (line.trustedConnection &&
      (!line.user.empty() || line.password || line.passwordStdin || line.emptyPassword)) {
    throw UsageError{
        Say("-E logs in as the Windows user this runs as: it excludes --user and every way of "
            "giving a password")};
  }
}

CommandLine ParseCommandLine(const Arguments& args, const EnvironmentReader& environment) {
  CommandLine line = Parser(args).Parse();
  if (line.help || line.version) return line;
  CheckLogin(line);
  TakeEnvironment(line, environment);
  // Every missing one at once, not one per attempt. A file of targets may
  // name the servers, and --all-databases the databases.
  std::vector<std::string> missing;
  if (line.server.empty() && !line.databasesFile && !line.dataSource) {
    missing.emplace_back("-S/--server");
  }
  if (line.database.empty() && !line.databasesFile && !line.allDatabases) {
    missing.emplace_back("-d/--database");
  }
  if (line.user.empty() && !line.trustedConnection) missing.emplace_back("-U/--user");
  switch (missing.size()) {
    case 0:
      break;
    case 1:
      throw UsageError{SayFormat("%s is required", missing[0])};
    case 2:
      throw UsageError{SayFormat("%s and %s are required", missing[0], missing[1])};
    default:
      throw UsageError{SayFormat("%s, %s and %s are required", missing[0], missing[1], missing[2])};
  }
  TakeTargets(line);
  if (line.password && line.passwordStdin) {
    throw UsageError{Say("--password and --password-stdin exclude each other")};
  }
  if (line.emptyPassword && (line.password || line.passwordStdin)) {
    throw UsageError{Say("--empty-password excludes --password and --password-stdin")};
  }
  if (line.plan && line.dryRun) {
    throw UsageError{Say("--plan and --dry-run exclude each other: a plan sends no write at all")};
  }
  if (line.script && !line.plan) throw UsageError{Say("--script writes a plan: add --plan")};
  if (line.cleanUp && !line.online) {
    throw UsageError{Say("--clean-up removes what online runs left behind: add --online")};
  }
  if (line.cleanUp && (line.plan || line.dryRun)) {
    throw UsageError{Say("--clean-up excludes --plan and --dry-run")};
  }
  if (line.online && line.script) {
    throw UsageError{
        Say("--script writes the run's own transaction; an online run copies outside it, so "
            "plan it without --script")};
  }
  if (line.cutoverTimeout && !line.online) {
    throw UsageError{Say("--cutover-timeout belongs to an online run: add --online")};
  }
  if (line.script && line.script->empty()) throw UsageError{Say("--script needs a file name")};
  if (line.trustServerCertificate && line.encrypt == sql::Encryption::kStrict) {
    throw UsageError{
        Say("--encrypt strict always checks the certificate; drop -C or choose mandatory")};
  }
  return line;
}

}  // namespace slotsync::cli
