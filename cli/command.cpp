#include "command.h"

#include <iostream>
#include <string_view>

#include "entry/public_api.h"
#include "entry/version.h"
#include "options.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

constexpr std::string_view kUsage =
    "usage: slotsync --server HOST --database DB --user USER [--password-stdin]\n"
    "                [--dry-run] [--trace] [--yes] [--quiet]\n"
    "       slotsync --help | --version\n";

constexpr std::string_view kHelp = R"(
Brings the size-slot columns x_1..x_N of an order, stock and invoicing
database on Microsoft SQL Server in line with its size groups: when N, the
largest number of sizes in any size group, differs from the slot columns of
StockDetailTemp, every table that S_Modify flags as rebuildable and modified is
rebuilt inside one transaction.

Options:
  --server HOST       host, host\instance or host,port
  --database DB       the application database
  --user USER         SQL Server login
  --password-stdin    read the password from the first line of standard input
  --password PW       the password on the command line (visible to other users
                      of this machine; prefer SLOTSYNC_PASSWORD)
  --dry-run           do the whole run inside its transaction, print every
                      statement, then roll back: nothing is changed
  --trace             print every statement as it is sent, with its outcome
  --yes               do not wait for Enter after a notice
  --quiet             print nothing but failures
  --help, --version

The password comes from --password or --password-stdin when given, otherwise
from the environment variable SLOTSYNC_PASSWORD, otherwise from a prompt
without echo when standard input is a terminal. SLOTSYNC_ODBC_DRIVER chooses
the ODBC driver (default: the first installed of "ODBC Driver 18 for SQL
Server", "ODBC Driver 17 for SQL Server", "FreeTDS", "SQL Server").

Exit codes:
  0   in step, committed, or a dry run that would have committed
  1   rolled back: a failure inside the transaction, nothing was changed
  2   could not run (connection refused, missing table...): nothing was changed
  3   busy: another run is in progress in this process
  4   commit outcome unknown: the connection broke during the commit
  64  bad usage

Examples:
  SLOTSYNC_PASSWORD=secret slotsync --server db01 --database Shop --user sa
  slotsync --server db01\SHOP --database Shop --user sa --dry-run < /dev/null
  printf '%s\n' "$PW" | slotsync --server db01,1433 --database Shop --user sa \
      --password-stdin --trace
)";

int ExitCodeOf(int outcome) {
  switch (outcome) {
    case SLOTSYNC_IN_STEP:
    case SLOTSYNC_COMMITTED:
    case SLOTSYNC_PREVIEWED:
      return kExitOk;
    case SLOTSYNC_ROLLED_BACK:
      return kExitRolledBack;
    case SLOTSYNC_BUSY:
      return kExitBusy;
    case SLOTSYNC_COMMIT_UNKNOWN:
      return kExitCommitUnknown;
    default:
      return kExitCouldNotRun;
  }
}

const char* StatementMark(int outcome) {
  switch (outcome) {
    case SLOTSYNC_STATEMENT_OK:
      return "ok";
    case SLOTSYNC_STATEMENT_FAILED_IGNORED:
      return "failed, ignored";
    default:
      return "failed";
  }
}

struct CallbackContext {
  const Terminal* terminal;
  const CommandLine* line;
};

void SLOTSYNC_CALL PrintStatement(void* context, const char* statement, int outcome) {
  const auto& c = *static_cast<CallbackContext*>(context);
  *c.terminal->out << "[" << StatementMark(outcome) << "] " << text::GbkToTerminal(statement)
                   << std::endl;
}

void SLOTSYNC_CALL PrintServerMessage(void* context, const char*, const char* sqlState,
                                      int nativeError, const char* message) {
  const auto& c = *static_cast<CallbackContext*>(context);
  *c.terminal->out << "  [warning " << sqlState << "/" << nativeError << "] "
                   << text::GbkToTerminal(message) << std::endl;
}

int SLOTSYNC_CALL ShowNoticeOnTerminal(void* context, const char* caption, const char* text,
                                       unsigned) {
  const auto& c = *static_cast<CallbackContext*>(context);
  std::string body = text::GbkToTerminal(text);
  for (char& ch : body) {
    if (ch == '\r') ch = '\n';
  }
  std::ostream& err = *c.terminal->err;
  err << text::GbkToTerminal(caption) << ": " << body << std::endl;
  if (!c.line->yes && c.terminal->inIsTerminal && c.terminal->errIsTerminal) {
    err << "Press Enter to go on..." << std::flush;
    std::string ignored;
    std::getline(*c.terminal->in, ignored);
  }
  return 1;  // OK
}

std::optional<std::string> ReadPassword(const CommandLine& line, const Terminal& terminal) {
  if (line.password) {
    *terminal.err << "slotsync: warning: a password given with --password is visible to other "
                     "users of this machine; use SLOTSYNC_PASSWORD or --password-stdin\n";
    return line.password;
  }
  if (line.passwordStdin) {
    std::string password;
    std::getline(*terminal.in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
  }
  if (const char* fromEnvironment = terminal.getEnv("SLOTSYNC_PASSWORD")) return fromEnvironment;
  if (terminal.inIsTerminal) return terminal.readSecret("Password: ");
  return std::nullopt;
}

void PrintSummary(const SlotsyncResult& result, const CommandLine& line, const Terminal& terminal) {
  const std::string message = text::GbkToTerminal(entry::LastError());
  std::ostream& out = *terminal.out;
  std::ostream& err = *terminal.err;
  const std::string counts = "N=" + std::to_string(result.slotCount) + ", StockDetailTemp has " +
                             std::to_string(result.slotColumns) + " slot columns";
  const std::string tables = std::to_string(result.rebuiltTables) + " of " +
                             std::to_string(result.flaggedRows) + " flagged tables";
  switch (result.outcome) {
    case SLOTSYNC_IN_STEP:
      if (!line.quiet) out << "in step: " << counts << "; nothing to do\n";
      break;
    case SLOTSYNC_COMMITTED:
      if (!line.quiet) out << "committed: " << counts << "; " << tables << " rebuilt\n";
      break;
    case SLOTSYNC_PREVIEWED:
      if (!line.quiet) {
        out << "dry run: " << counts << "; " << tables
            << " would be rebuilt; rolled back, nothing was changed\n";
      }
      break;
    case SLOTSYNC_ROLLED_BACK:
      err << "rolled back: " << counts << "; nothing was changed\n";
      break;
    case SLOTSYNC_COMMIT_UNKNOWN:
      err << "commit outcome unknown: the connection broke during the commit; check the "
             "database before running again\n";
      break;
    case SLOTSYNC_BUSY:
      err << "busy: another run is in progress\n";
      break;
    default:
      err << "could not run; nothing was changed\n";
      break;
  }
  // A committed run can still carry a message, e.g. a failed disconnect.
  if (!message.empty()) err << "slotsync: " << message << '\n';
}

}  // namespace

int RunCommand(const std::vector<std::string>& args, const Terminal& terminal) {
  std::ostream& out = *terminal.out;
  std::ostream& err = *terminal.err;
  CommandLine line;
  try {
    line = ParseCommandLine(args);
  } catch (const UsageError& e) {
    err << "slotsync: " << e.message << '\n' << kUsage;
    return kExitUsage;
  }
  if (line.help) {
    out << kUsage << kHelp;
    return kExitOk;
  }
  if (line.version) {
    out << "slotsync " << kVersion << '\n';
    return kExitOk;
  }
  const std::optional<std::string> password = ReadPassword(line, terminal);
  if (!password) {
    err << "slotsync: no password: set SLOTSYNC_PASSWORD, or use --password-stdin\n" << kUsage;
    return kExitUsage;
  }

  CallbackContext context{&terminal, &line};
  SlotsyncOptions options{};
  options.size = sizeof options;
  options.dryRun = line.dryRun ? 1 : 0;
  options.showWindow = line.quiet ? 0 : 1;
  if (line.trace || line.dryRun) {
    options.onStatement = PrintStatement;
    options.statementContext = &context;
    options.onMessage = PrintServerMessage;
    options.messageContext = &context;
  }
  options.onNotice = ShowNoticeOnTerminal;
  options.noticeContext = &context;
  SlotsyncResult result{};
  result.size = sizeof result;
  entry::RefreshStructWith(
      text::TerminalToGbk(line.server).c_str(), text::TerminalToGbk(line.database).c_str(),
      text::TerminalToGbk(line.user).c_str(), text::TerminalToGbk(*password).c_str(), &options,
      &result, terminal.makeClient);
  PrintSummary(result, line, terminal);
  return ExitCodeOf(result.outcome);
}

}  // namespace slotsync::cli
