#include "command.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string_view>

#include <nlohmann/json.hpp>

#include "entry/audit_log.h"
#include "entry/public_api.h"
#include "entry/run_cancel.h"
#include "entry/version.h"
#include "many_databases.h"
#include "options.h"
#include "output_file.h"
#include "plan_output.h"
#include "platform/secret.h"
#include "run_record.h"
#include "run_report.h"
#include "say.h"
#include "summary.h"
#include "table_display.h"
#include "targets.h"
#include "text/gbk.h"
#include "text/messages.h"
#include "ui/console_line.h"

namespace slotsync::cli {
namespace {

constexpr const char* kUsage =
    N_("usage: slotsync (-S HOST | --dsn NAME) -d DB (-U USER | -E)\n"
       "                [--password-stdin | --empty-password] [-N strict|mandatory|optional]\n"
       "                [-C] [--dry-run | --plan [--script FILE]] [--json] [--trace] [--yes]\n"
       "                [--quiet] [--lock-timeout S] [--retry N] [--log FILE]\n"
       "                [--lang zh_CN|en]\n"
       "                [--online [--cutover-timeout S] | --online --clean-up]\n"
       "       slotsync (-S HOST | --dsn NAME) (-U USER | -E)\n"
       "                (-d DB,DB... | --databases FILE | --all-databases)\n"
       "                [-j N] [--stop-on-failure] [--script DIR] [the options above]\n"
       "       slotsync --help | --version\n");

// The help after the usage, paragraph by paragraph: each is translated as a
// whole, and printed after a blank line.
constexpr const char* kHelp[] = {
    N_(R"(Brings the size-slot columns x_1..x_N of an order, stock and invoicing
database on Microsoft SQL Server in line with its size groups: when N, the
largest number of sizes in any size group, differs from the slot columns of
StockDetailTemp, every table that S_Modify flags as rebuildable and modified is
rebuilt inside one transaction.
)"),
    N_(R"(Options (a long option's value may also follow "=", a short one's may be
joined to it: -Sdb01):
  -S, --server HOST   host, host\instance or host,port
  -d, --database DB   the application database; several, comma-separated,
                      run each as a run of its own (a comma in a name is
                      written twice)
  --databases FILE    the databases of FILE, one a line: "database" or
                      "server database"; "#" starts a comment
  --all-databases     every online database on the server that holds
                      S_Modify, StockDetailTemp and SizeGroup and that the
                      login may open
  -j, --jobs N        with several databases: up to N at once (default 1)
  --stop-on-failure   with several databases: start no other after the
                      first that does not end in step or committed
  --dsn NAME          connect through the ODBC data source NAME that the
                      administrator set up (odbc.ini; on Windows the ODBC
                      Data Source Administrator): it names the driver and
                      the server, so -S is left out
  -U, --user USER     SQL Server login
  -E, --trusted-connection
                      Windows authentication, as sqlcmd -E: log in as the
                      user this runs as (Linux: the Kerberos ticket from
                      kinit); no -U and no password. Microsoft's drivers
                      and FreeTDS take it; other drivers are refused
  --password-stdin    read the password from the first line of standard input
  --empty-password    the login has no password (an empty one from any other
                      source is refused)
  --password PW       the password on the command line (visible to other users
                      of this machine; prefer SLOTSYNC_PASSWORD)
  -N, --encrypt LEVEL strict: TLS from the first byte, certificate and host
                        name checked (ODBC Driver 18 or later);
                      mandatory (-N alone): encrypted or no connection, the
                        certificate checked unless -C is given;
                      optional: encrypted only if the server insists - user
                        and password may travel in clear.
                      Default: mandatory with the certificate accepted
                      unchecked (-C), which servers with the self-signed
                      certificate SQL Server makes for itself need.
  -C, --trust-server-certificate
                      accept the server's certificate without checking it
  --dry-run           a full run rolled back: every statement is sent and
                      printed and holds the same locks as a run, then the
                      transaction rolls back (to look without locking: --plan)
  --plan              read what a run would read, but start no transaction, send
                      no write and take no table lock: report per flagged
                      table what the run would do and every problem that
                      would stop it (the writes it would send are printed
                      only with --trace)
  --script FILE       with --plan: write those writes as a T-SQL script for
                      sqlcmd or SQLCMD mode that takes the run's lock and
                      stops, changing nothing, when the database is no
                      longer as planned or already done (only when the plan
                      found no problem)
                      (with several databases FILE is a directory, which
                      gets one script per database, DATABASE.sql)
  --json              the result as one JSON object on standard output
                      (UTF-8); the usual lines go to standard error
  --trace             print every statement as it is sent, with its outcome
  --lock-timeout S    no lock wait of a rebuild lasts longer than S seconds
                      (default 30; 0 waits without end); a run that is locked
                      out rolls back, names who holds the table and exits 5
  --retry N           after a lock-out, try again up to N times, pausing 2, 4,
                      8... seconds
  --log FILE          append one JSON line per run to FILE (also
                      SLOTSYNC_LOG); never the password; a FILE that
                      cannot be opened refuses the run before it connects
  --lang LANG         messages in zh_CN (Simplified Chinese) or en (English);
                      default: SLOTSYNC_LANG, else the locale's language
                      (Windows: the user's display language)
  --yes               do not wait for Enter after a notice
  --quiet             print nothing but failures and warnings
  -?, -h, --help, --version
)"),
    N_(R"(While the shop keeps selling (--online):
  --online            copy each flagged detail table into dbo.Tmp_<name> in
                      short batches while the tills work, a capture trigger
                      keeping the copy current, then switch every flagged
                      table over in one short transaction; --retry N tries
                      that transaction again, after 2, 4, 8... seconds
  --cutover-timeout S with --online: no lock wait of the run, and so no
                      till's wait on it, lasts longer than S seconds
                      (default 2)
  --clean-up          with --online: only remove what a killed online run
                      left behind (dbo.slotsync_online_<name> and its
                      dbo.Tmp_<name>)
)"),
    N_(R"(The password comes from --password or --password-stdin when given, otherwise
from the environment variable SLOTSYNC_PASSWORD, then sqlcmd's SQLCMDPASSWORD,
otherwise from a prompt without echo when standard input is a terminal.
sqlcmd's SQLCMDSERVER, SQLCMDDBNAME and SQLCMDUSER stand in for -S, -d and -U
when those are left out (not beside --dsn, -E). SLOTSYNC_ODBC_DRIVER chooses
the ODBC driver (default: the first installed of "ODBC Driver 18 for SQL
Server", "ODBC Driver 17 for SQL Server", "FreeTDS", "SQL Server").
)"),
    N_(R"(Ctrl+C or SIGTERM during a run cancels the running statement and rolls the
run back.
)"),
    N_(R"(With several databases each is a run of its own, in a process of its own
(the password is asked once and handed on through a pipe): a line per
database as it goes, then a table and the count of each outcome. The exit
code is the most serious of the databases' in this order: 4, 130, 1, 5, 2,
74, 3, 64; 0 when every one ended in step or committed.
)"),
    N_(R"(Exit codes:
  0   in step, committed, a dry run that would have committed, or a plan
      without problems
  1   rolled back: a failure inside the transaction, nothing was changed; or
      a plan that found problems
  2   could not run (connection refused, missing table...): nothing was changed
  3   busy: another run is in progress in this process
  4   commit outcome unknown: the connection broke during the commit
  5   locked out: a lock wait ran out or the run gave way in a deadlock, nothing
      was changed
  6   out of step, but S_Modify flags no table: nothing was rebuilt, and
      every later run finds the same until tables are flagged
  64  bad usage
  74  the output could not be written (disk full, closed pipe), or the log
      of --log could not be opened: nothing was done
  130 interrupted: cancelled and rolled back, nothing was changed
)"),
// Not a raw string: xgettext reads a backslash at a raw string's line end
// as a line continuation, and the catalog would miss the paragraph.
#ifdef _WIN32
    // In cmd.exe, where the examples are typed on Windows.
    N_("Examples:\n"
       "  set SLOTSYNC_PASSWORD=secret\n"
       "  slotsync -S db01 -d Shop -U sa\n"
       "  slotsync --server db01\\SHOP --database Shop --user sa --dry-run < NUL\n"
       "  slotsync -S db01 -d Shop -E --plan --script C:\\plans\\Shop.sql\n"
       "  slotsync --dsn ShopServer -d Shop -U sa --encrypt strict --trace\n"),
#else
    N_("Examples:\n"
       "  SLOTSYNC_PASSWORD=secret slotsync -S db01 -d Shop -U sa\n"
       "  slotsync --server 'db01\\SHOP' --database Shop --user sa --dry-run < /dev/null\n"
       "  printf '%s\\n' \"$PW\" | slotsync -S db01,1433 -d Shop -U sa --password-stdin \\\n"
       "      --encrypt strict --trace\n"
       "  kinit admin@SHOP.EXAMPLE && slotsync -S db01.shop.example -d Shop -E --plan\n"),
#endif
};

constexpr const char* kMoreHelp = N_("Run 'slotsync --help' for every option and examples.\n");

void PrintHelp(std::ostream& out) {
  out << Say(kUsage);
  for (const char* paragraph : kHelp) out << '\n' << Say(paragraph);
}

// Translated where shown.
const char* StatementMark(int outcome) {
  switch (outcome) {
    case SLOTSYNC_STATEMENT_OK:
      return N_("ok");
    case SLOTSYNC_STATEMENT_FAILED_IGNORED:
      return N_("failed, ignored");
    case SLOTSYNC_STATEMENT_PLANNED:
      return N_("planned");
    case SLOTSYNC_STATEMENT_PLANNED_IGNORED:
      return N_("planned, failure ignored");
    case SLOTSYNC_STATEMENT_PLANNED_CHECK:
      return N_("check");
    case SLOTSYNC_STATEMENT_PLANNED_BEFORE:
      return N_("planned, before the transaction");
    case SLOTSYNC_STATEMENT_PLANNED_AFTER:
      return N_("planned, after the commit");
    default:
      return N_("failed");
  }
}

// The size-decrease notice beneath its Chinese text, for whoever reads no
// Chinese: shown only with the messages in English, it has no translation
// (in Chinese it would say again what the notice says).
constexpr const char* kNoticeInEnglish =
    "a size group now has fewer sizes than the stored size texts hold; "  // not a message
    "the size texts must be corrected by hand: ask your supplier";        // not a message

struct CallbackContext {
  const Terminal* terminal;
  const CommandLine* line;
};

void SLOTSYNC_CALL PrintStatement(void* context, const char* statement, int outcome) {
  const auto& c = *static_cast<CallbackContext*>(context);
  const ui::ConsoleLine console;
  *c.terminal->out << "[" << Say(StatementMark(outcome)) << "] "
                   << Shown(statement, c.terminal->outIsTerminal) << std::endl;
  StopRunIfOutputLost(*c.terminal->out);
}

// The driver's message already ends with its SQLSTATE and error number.
void SLOTSYNC_CALL PrintServerMessage(void* context, const char*, const char*, int,
                                      const char* message) {
  const auto& c = *static_cast<CallbackContext*>(context);
  const ui::ConsoleLine console;
  *c.terminal->out << "  " << SayFormat("[warning] %s", Shown(message, c.terminal->outIsTerminal))
                   << std::endl;
  StopRunIfOutputLost(*c.terminal->out);
}

int SLOTSYNC_CALL ShowNoticeOnTerminal(void* context, const char* caption, const char* text,
                                       unsigned) {
  const auto& c = *static_cast<CallbackContext*>(context);
  // The notice breaks its lines with a carriage return, for the message box;
  // on a terminal that is a line feed, and only then is every other control
  // character escaped, as in any text from the database. A GBK trail byte is
  // never 0x0D, so the bytes can be changed before the conversion.
  std::string body = text;
  for (char& ch : body) {
    if (ch == '\r') ch = '\n';
  }
  // The whole notice, and the wait for Enter, with the line to itself.
  const ui::ConsoleLine console;
  std::ostream& err = *c.terminal->err;
  err << Shown(caption, c.terminal->errIsTerminal) << ": " << Shown(body, c.terminal->errIsTerminal)
      << '\n';
  if (text::MessageLanguage() == text::Language::kEnglish) {
    err << "notice: " << kNoticeInEnglish << '\n';
  }
  err << std::flush;
  StopRunIfOutputLost(err);
  if (!c.line->yes && c.terminal->inIsTerminal && c.terminal->errIsTerminal) {
    err << Say("Press Enter to go on...") << std::flush;
    // Ctrl+C ends the wait at once: the run must not hold its transaction
    // open for a prompt nobody will answer.
    if (c.terminal->waitForEnter) {
      c.terminal->waitForEnter();
    } else {
      std::string ignored;
      std::getline(*c.terminal->in, ignored);
    }
    err << '\n' << std::flush;
  }
  return 1;  // OK
}

struct Refusal {
  std::string message;
};

// An empty password from any source is refused: an unset variable or an
// empty line would otherwise log in as a login without one. A login that
// has none says so with --empty-password.
platform::SecretString NotEmpty(platform::SecretString password, const std::string& source) {
  if (password.Empty()) {
    throw Refusal{SayFormat(
        "the password from %s is empty; for a login without a password, give --empty-password",
        source)};
  }
  return password;
}

// The variables a password may be read from, the command's own first, then
// sqlcmd's.
constexpr const char* kPasswordVariables[] = {"SLOTSYNC_PASSWORD", "SQLCMDPASSWORD"};

platform::SecretString ReadPassword(const CommandLine& line, const Terminal& terminal) {
  // Windows authentication sends no password: none is asked for or read.
  if (line.emptyPassword || line.trustedConnection) return {};
  if (line.password) {
    *terminal.err << "slotsync: "
                  << Say("warning: a password given with --password is visible to other users of "
                         "this machine; use SLOTSYNC_PASSWORD or --password-stdin")
                  << '\n';
    return NotEmpty(*line.password, "--password");
  }
  if (line.passwordStdin) {
    platform::SecretString password;
    if (terminal.readInputLine) {
      password = terminal.readInputLine(entry::kMaxArgumentBytes + 1);
    } else {
      std::getline(*terminal.in, password.Edit());
    }
    if (!password.Empty() && password.View().back() == '\r') password.Edit().pop_back();
    if (password.View().size() > entry::kMaxArgumentBytes) {
      throw Refusal{SayFormat("the password from standard input is longer than %d bytes",
                              static_cast<int>(entry::kMaxArgumentBytes))};
    }
    // A NUL would end the password early on its way to the driver.
    if (password.View().find('\0') != std::string::npos) {
      throw Refusal{Say("the password from standard input holds a NUL byte")};
    }
    return NotEmpty(std::move(password), Say("standard input"));
  }
  for (const char* variable : kPasswordVariables) {
    if (const char* fromEnvironment = terminal.getEnv(variable)) {
      platform::SecretString password(fromEnvironment);
      if (terminal.forgetEnv) terminal.forgetEnv(variable);
      return NotEmpty(std::move(password), variable);
    }
  }
  if (terminal.inIsTerminal) {
    auto typed = platform::SecretString::Taking(terminal.readSecret(Say("Password: ")));
    if (typed.Empty()) {
      throw Refusal{
          Say("no password typed; nothing was done (for a login without a password, give "
              "--empty-password)")};
    }
    return typed;
  }
  throw Refusal{Say("no password: set SLOTSYNC_PASSWORD, or use --password-stdin")};
}

// No copy of a password stays in the environment that child processes
// inherit, whichever source the password came from.
void ForgetPasswordVariables(const Terminal& terminal) {
  if (!terminal.forgetEnv) return;
  for (const char* variable : kPasswordVariables) {
    if (terminal.getEnv(variable) != nullptr) terminal.forgetEnv(variable);
  }
}

// The argument as the GBK text the server will get, or a refusal that names
// it (`name` in the terminal's encoding); the password is never shown.
std::string ToGbk(std::string_view name, std::string_view typed, bool show) {
  if (std::optional<std::string> gbk = text::TerminalToGbkExactly(typed)) return std::move(*gbk);
  if (!show) {
    throw Refusal{SayFormat(
        "%s holds a character that code page 936 (GBK) has not; the server would get \"?\" in "
        "its place",
        name)};
  }
  throw Refusal{SayFormat(
      "%s holds a character that code page 936 (GBK) has not: %s; the server would get \"?\" in "
      "its place",
      name, typed)};
}

int SlotsyncEncryptOf(const CommandLine& line) {
  if (!line.encrypt) {
    return line.trustServerCertificate ? SLOTSYNC_ENCRYPT_MANDATORY : SLOTSYNC_ENCRYPT_DEFAULT;
  }
  switch (*line.encrypt) {
    case sql::Encryption::kStrict:
      return SLOTSYNC_ENCRYPT_STRICT;
    case sql::Encryption::kOptional:
      return SLOTSYNC_ENCRYPT_OPTIONAL;
    default:
      return SLOTSYNC_ENCRYPT_MANDATORY;
  }
}

SlotsyncOptions OptionsFor(const CommandLine& line, CallbackContext& context) {
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
  if (line.language) options.language = line.language->c_str();
  options.encrypt = SlotsyncEncryptOf(line);
  options.trustServerCertificate = line.trustServerCertificate ? 1 : 0;
  // The library's 0 is its bounded default; the command's 0 waits without end.
  options.lockTimeout = line.lockTimeout == 0 ? -1 : line.lockTimeout;
  options.trustedConnection = line.trustedConnection ? 1 : 0;
  options.online = line.online ? 1 : 0;
  options.onlineCleanUp = line.cleanUp ? 1 : 0;
  options.cutoverTimeout = line.cutoverTimeout.value_or(0);
  // An online run tries its cut-over again itself, while its captures keep
  // the copies current; the whole run is not started over.
  if (line.online) options.cutoverRetries = line.retry;
  return options;
}

// Locked out, and tries left: says why and when the next try comes.
void AnnounceRetry(const Terminal& terminal, int attempt, int retries) {
  const int pause = 2 << attempt;  // 2, 4, 8... seconds
  std::string reason = entry::LastError();
  // Its last line says who held what.
  if (const auto end = reason.rfind('\n'); end != std::string::npos) reason.erase(0, end + 1);
  {
    const ui::ConsoleLine console;
    *terminal.err << "slotsync: "
                  << SayFormat("locked out on try %d of %d: %s; trying again in %d s", attempt + 1,
                               retries + 1, Shown(reason, terminal.errIsTerminal), pause)
                  << std::endl;
  }
  if (terminal.pause) terminal.pause(pause);
}

// What --log names, opened before anything else is done: a run given a log
// never runs without it. Empty text, or the refusal, in the terminal's
// encoding.
std::string OpenLog(const CommandLine& line, entry::AuditFile& log) {
  if (!line.logFile) return {};
  const std::string failed = log.Open(ToGbk("--log", *line.logFile, true));
  if (failed.empty()) return {};
  return "slotsync: " + Shown(failed, false) + "\nslotsync: " +
         Say("nothing was done: a run given --log does not begin without its log; name a file "
             "that can be appended to, then run slotsync again") +
         "\n";
}

int Run(const CommandLine& line, const Terminal& terminal) {
  // Opened before the password is read and anything is sent; each database
  // of several opens it again in its own process.
  entry::AuditFile log;
  if (const std::string refused = OpenLog(line, log); !refused.empty()) {
    if (line.json) *terminal.out << JsonNotBegun(false, kExitOutputFailed, refused) << '\n';
    *terminal.err << refused;
    return kExitOutputFailed;
  }
  // Likewise the script's file (or folder, for several databases).
  if (line.script) {
    const std::string failed = CheckNewFileCanBeWritten(*line.script, NamesSeveralDatabases(line));
    if (!failed.empty()) {
      const std::string said = SayFormat("the script could not be written: %s", failed);
      if (line.json) *terminal.out << JsonNotBegun(false, kExitOutputFailed, said) << '\n';
      *terminal.err << "slotsync: " << said
                    << "\nslotsync: " << Say("nothing was done; name a file that can be written")
                    << '\n';
      return kExitOutputFailed;
    }
  }
  // Both forms of the password are wiped when the run is over.
  const platform::SecretString password = ReadPassword(line, terminal);
  ForgetPasswordVariables(terminal);
  const std::string server = ToGbk("--server", line.server, true);
  const std::string dataSource = ToGbk("--dsn", line.dataSource.value_or(""), true);
  const std::string database = ToGbk("--database", line.database, true);
  const std::string user = ToGbk("--user", line.user, true);
  const auto gbkPassword =
      platform::SecretString::Taking(ToGbk(Say("the password"), password.View(), false));
  if (NamesSeveralDatabases(line)) return RunManyDatabases(line, terminal, password);

  CallbackContext context{&terminal, &line};
  SlotsyncOptions options = OptionsFor(line, context);
  if (line.dataSource) options.dataSource = dataSource.c_str();
  std::atomic<bool> interrupted{false};
  std::shared_ptr<void> watch;
  if (terminal.watchInterrupts) {
    watch = terminal.watchInterrupts([&interrupted, &terminal] {
      interrupted = true;
      entry::CancelRun();
      if (terminal.endWaits) terminal.endWaits();
      const ui::ConsoleLine console;
#ifndef _WIN32
      // The terminal has echoed "^C" where its cursor stood, at the start
      // of a line unless a line was open (then just ended): wiped, so that
      // the message is not glued to it.
      if (terminal.errIsTerminal && !console.EndedALine()) *terminal.err << "\r\x1b[K";
#endif
      *terminal.err << "slotsync: "
                    << Say("interrupted; cancelling the running statement and rolling back")
                    << std::endl;
    });
  }
  SlotsyncResult result{};
  for (int attempt = 0;; ++attempt) {
    SlotsyncOptions tried = options;
    // JSON keeps standard output to itself: the table lines go to standard
    // error as always (a command running several databases relays them),
    // their summary is left out, and a plan has its own report.
    TableDisplay tables(terminal, line.quiet || line.plan);
    tables.Attach(tried);
    RunRecord record;
    if (line.plan || line.json) {
      if (line.json) tried.onStatement = nullptr;
      record.Attach(tried);
      tried.plan = line.plan ? 1 : 0;
    }
    result = SlotsyncResult{};
    result.size = sizeof result;
    entry::RefreshStructWith(server.c_str(), database.c_str(), user.c_str(), gbkPassword.CStr(),
                             &tried, &result, terminal.makeClient, log.IsOpen() ? &log : nullptr);
    if (result.outcome != SLOTSYNC_LOCKED_OUT || attempt >= line.retry || interrupted ||
        line.online) {
      watch.reset();
      const int exitCode = Report(record, result, line, terminal);
      if (!line.json && !line.plan) tables.PrintSummary();
      return exitCode;
    }
    AnnounceRetry(terminal, attempt, line.retry);
  }
}

// The value of --lang, looked for before the command line is parsed, so
// that a mistake on it is told in the language asked for too.
const char* LanguageAskedFor(const Arguments& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i].View();
    if (arg.starts_with("--lang=")) return args[i].CStr() + 7;
    if (arg == "--lang" && i + 1 < args.size()) return args[i + 1].CStr();
  }
  return nullptr;
}

// Whether --json was asked for, looked for before the command line is
// parsed: a command line refused must still give a program its object.
bool AsksForJson(const Arguments& args) {
  return std::any_of(args.begin(), args.end(),
                     [](const platform::SecretString& arg) { return arg.View() == "--json"; });
}

int RunParsed(const Arguments& args, const Terminal& terminal) {
  // A name that is no language is the parser's to refuse: until then the
  // environment's language holds.
  const char* asked = LanguageAskedFor(args);
  text::ChooseMessageLanguage(asked != nullptr && text::LanguageFromName(asked) ? asked : nullptr);
  CommandLine line;
  try {
    line = ParseCommandLine(args, terminal.getEnv);
    if (line.language) text::ChooseMessageLanguage(line.language->c_str());
  } catch (const UsageError& e) {
    if (AsksForJson(args)) *terminal.out << JsonNotBegun(true, kExitUsage, e.message) << '\n';
    *terminal.err << "slotsync: " << e.message << '\n' << Say(kUsage) << Say(kMoreHelp);
    return kExitUsage;
  }
  if (line.help) {
    PrintHelp(*terminal.out);
    return kExitOk;
  }
  if (line.version) {
    *terminal.out << "slotsync " << kVersion << '\n';
    return kExitOk;
  }
  try {
    return Run(line, terminal);
  } catch (const Refusal& refusal) {
    if (line.json) *terminal.out << JsonNotBegun(true, kExitUsage, refusal.message) << '\n';
    *terminal.err << "slotsync: " << refusal.message << '\n' << Say(kUsage) << Say(kMoreHelp);
    return kExitUsage;
  }
}

// A full disk or a closed pipe behind an output must not pass for success:
// whoever reads the output would find it cut short.
int CheckOutputs(int exitCode, const Terminal& terminal) {
  terminal.out->flush();
  terminal.err->flush();
  if (terminal.out->good() && terminal.err->good()) return exitCode;
  // The run itself stopped for it, rolled back and said so.
  if (exitCode == kExitOutputFailed) return exitCode;
  // A run that committed stands whatever becomes of its report: 74 would
  // tell a script that nothing was done.
  const nlohmann::json run = nlohmann::json::parse(entry::LastRunJson(), nullptr, false);
  if ((run.is_object() && run.value("outcome", "") == "committed") || SomeDatabaseCommitted()) {
    *terminal.err << "slotsync: "
                  << SayFormat(
                         "warning: the run committed, but its report could not be written "
                         "in full (disk full, closed pipe?); the exit code is the run's, %d",
                         exitCode)
                  << '\n'
                  << std::flush;
    return exitCode;
  }
  *terminal.err << "slotsync: "
                << SayFormat(
                       "the output could not be written (disk full, closed pipe?); the run "
                       "itself ended with exit code %d; make room or fix the output, then "
                       "run again",
                       exitCode)
                << '\n'
                << std::flush;
  return kExitOutputFailed;
}

}  // namespace

int RunCommand(const Arguments& args, const Terminal& terminal) {
  return CheckOutputs(RunParsed(args, terminal), terminal);
}

}  // namespace slotsync::cli
