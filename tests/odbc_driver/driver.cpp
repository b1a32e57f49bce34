// The scripted ODBC driver: the entry points unixODBC's driver manager calls,
// answering every statement from a scenario file (scenario.h) and logging
// every statement and transaction call, so that end-to-end tests can run the
// library's real ODBC client against a "database" whose every answer they
// chose, and check what reached it.
//
// Built twice: with the wide (...W) entry points and the narrow ones, the
// way SQL Server's drivers come, and with the narrow ones only
// (SCRIPTED_ODBC_NARROW_ONLY), the way SQLite's driver on Debian comes; the
// driver manager then converts the client's wide calls itself. Narrow texts
// are taken and given as UTF-8, which is what the driver manager produces
// under a UTF-8 locale.
//
// Environment (read when a connection opens):
//   SCRIPTED_ODBC_SCENARIO  the scenario file; required
//   SCRIPTED_ODBC_LOG       the log file, appended to; no log when unset
//   (in both, "{database}" stands for the connection string's database)
//   SCRIPTED_ODBC_TRACE     when set, every entry point names itself on stderr

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "scenario.h"

#define SCRIPTED_EXPORT extern "C" __attribute__((visibility("default")))

namespace scripted_odbc {
namespace {

// ---- text ----

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    const auto b = static_cast<unsigned char>(in[i]);
    std::uint32_t code = 0xFFFD;
    std::size_t length = 1;
    if (b < 0x80) {
      code = b;
    } else {
      const std::size_t need = b >= 0xF0 && b < 0xF5 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
      if (b < 0xF5 && need > 0 && i + need <= in.size()) {
        std::uint32_t value = need == 2 ? (b & 0x1Fu) : need == 3 ? (b & 0x0Fu) : (b & 0x07u);
        bool ok = true;
        for (std::size_t k = 1; k < need; ++k) {
          const auto c = static_cast<unsigned char>(in[i + k]);
          if ((c & 0xC0) != 0x80) ok = false;
          value = (value << 6) | (c & 0x3Fu);
        }
        const std::uint32_t least = need == 2 ? 0x80 : need == 3 ? 0x800 : 0x10000;
        if (ok && value >= least && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
          code = value;
          length = need;
        }
      }
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    std::uint32_t code = in[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
        in[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (in[i + 1] - 0xDC00u);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    AppendUtf8(out, code);
  }
  return out;
}

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR holds UTF-16");

[[maybe_unused]] std::string FromWide(const SQLWCHAR* text, SQLINTEGER length) {
  if (text == nullptr) return {};
  std::u16string wide;
  if (length == SQL_NTS) {
    for (const SQLWCHAR* c = text; *c != 0; ++c) wide.push_back(static_cast<char16_t>(*c));
  } else {
    for (SQLINTEGER i = 0; i < length; ++i) wide.push_back(static_cast<char16_t>(text[i]));
  }
  return Utf16ToUtf8(wide);
}

std::string FromNarrow(const SQLCHAR* text, SQLINTEGER length) {
  if (text == nullptr) return {};
  const auto* chars = reinterpret_cast<const char*>(text);
  return length == SQL_NTS
             ? std::string(chars)
             : std::string(chars, static_cast<std::size_t>(std::max<SQLINTEGER>(length, 0)));
}

// Writes `text` into a buffer of `capacity` units with its terminating NUL
// and returns whether all of it fitted. `length` gets the whole length in
// units, as ODBC reports a truncated string.
template <typename Unit, typename Length>
bool PutText(std::basic_string_view<Unit> text, Unit* buffer, std::size_t capacity,
             Length* length) {
  if (length != nullptr) *length = static_cast<Length>(text.size());
  if (buffer == nullptr || capacity == 0) return text.empty();
  const std::size_t copied = std::min(text.size(), capacity - 1);
  std::copy_n(text.data(), copied, buffer);
  buffer[copied] = 0;
  return copied == text.size();
}

// ---- handles and diagnostics ----

struct Diagnostic {
  std::string sqlState;
  SQLINTEGER native = 0;
  std::string message;
};

constexpr std::uint32_t kMagic = 0x53435244;  // "SCRD"

struct Handle {
  explicit Handle(SQLSMALLINT type) : handleType(type) {}
  virtual ~Handle() { magic = 0; }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  std::uint32_t magic = kMagic;
  SQLSMALLINT handleType;
  std::vector<Diagnostic> diagnostics;
};

struct Connection;

struct Environment : Handle {
  Environment() : Handle(SQL_HANDLE_ENV) {}
  SQLINTEGER odbcVersion = SQL_OV_ODBC3;
  std::set<Connection*> connections;
};

struct Statement;

struct Connection : Handle {
  explicit Connection(Environment* env) : Handle(SQL_HANDLE_DBC), environment(env) {}
  Environment* environment;
  bool connected = false;
  bool autocommit = true;
  bool workPending = false;  // statements sent since the transaction began
  SQLUINTEGER isolation = SQL_TXN_READ_COMMITTED;
  SQLUINTEGER loginTimeout = 0;
  std::string logPath;
  std::string database;
  Scenario scenario;
  std::map<std::string, std::size_t> turns;  // answers given so far, per statement
  std::set<Call> failedOnce;
  std::set<Statement*> statements;
};

// The implicit descriptors every statement has; the driver manager asks for
// them when it allocates a statement. Nothing is ever read from them.
struct Descriptor : Handle {
  Descriptor() : Handle(SQL_HANDLE_DESC) {}
};

struct Statement : Handle {
  explicit Statement(Connection* dbc) : Handle(SQL_HANDLE_STMT), connection(dbc) {}
  Connection* connection;
  Descriptor descriptors[4];
  bool executed = false;
  std::vector<Result> results;
  std::size_t result = 0;
  bool cursorOpen = false;
  std::size_t row = 0;      // 1-based once fetched; 0 before the first row
  SQLUSMALLINT column = 0;  // the column SQLGetData last read
  std::size_t offset = 0;   // bytes of it already handed out
  bool delivered = false;   // whether any of it was handed out
  SQLULEN noscan = SQL_NOSCAN_OFF;
  std::atomic<bool> cancelled{false};  // set by SQLCancel from another thread

  const Result* Current() const {
    return executed && result < results.size() ? &results[result] : nullptr;
  }
};

template <typename T>
T* As(SQLHANDLE handle, SQLSMALLINT type) {
  auto* h = static_cast<Handle*>(handle);
  if (h == nullptr || h->magic != kMagic || h->handleType != type) return nullptr;
  return static_cast<T*>(h);
}

bool Tracing() {
  static const bool on = std::getenv("SCRIPTED_ODBC_TRACE") != nullptr;
  return on;
}

void Trace(const char* function) {
  if (Tracing()) std::fprintf(stderr, "scripted_odbc: %s\n", function);
}

SQLRETURN Fail(Handle& handle, std::string sqlState, std::string message) {
  handle.diagnostics.push_back({std::move(sqlState), 0, std::move(message)});
  return SQL_ERROR;
}

SQLRETURN Warn(Handle& handle, std::string sqlState, std::string message) {
  handle.diagnostics.push_back({std::move(sqlState), 0, std::move(message)});
  return SQL_SUCCESS_WITH_INFO;
}

// Every entry point that works on a handle goes through here: it clears the
// handle's diagnostics, as ODBC says each call does, and keeps exceptions
// from crossing into the driver manager.
template <typename T, typename Body>
SQLRETURN Enter(const char* name, SQLHANDLE raw, SQLSMALLINT type, Body body) {
  Trace(name);
  T* handle = As<T>(raw, type);
  if (handle == nullptr) return SQL_INVALID_HANDLE;
  handle->diagnostics.clear();
  try {
    return body(*handle);
  } catch (const std::bad_alloc&) {
    return Fail(*handle, "HY001", "[scripted] memory allocation error");
  } catch (const std::exception& e) {
    return Fail(*handle, "HY000", std::string("[scripted] ") + e.what());
  }
}

// ---- the log ----

// One line per event, control characters and backslashes escaped so that a
// line is always one event (Unescape in scenario.h reads it back).
void Log(const Connection& dbc, std::string_view event) {
  if (dbc.logPath.empty()) return;
  std::string line;
  for (const char c : event) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      line += "\\\\";
    } else if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else if (c == '\t') {
      line += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 0x0F];
    } else {
      line += c;
    }
  }
  line += '\n';
  // Opened for each line, so that the log is whole even if the process
  // under test dies right after.
  if (std::FILE* file = std::fopen(dbc.logPath.c_str(), "ab")) {
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
  }
}

// ---- connecting ----

struct Attribute {
  std::string key;
  std::string value;
};

// The connection string grammar of ODBC: "key=value" pairs separated by
// ";", a value in braces running to the "}" that is not doubled, with "}}"
// standing for "}". Throws on anything else, so that a connection string the
// client got wrong shows up as a failed connect instead of passing.
std::vector<Attribute> ParseConnectionString(std::string_view text) {
  std::vector<Attribute> attributes;
  std::size_t at = 0;
  while (at < text.size()) {
    if (text[at] == ';') {
      ++at;
      continue;
    }
    const std::size_t equals = text.find('=', at);
    if (equals == std::string_view::npos) {
      throw std::runtime_error("malformed connection string: no '=' after '" +
                               std::string(text.substr(at)) + "'");
    }
    Attribute attribute{std::string(text.substr(at, equals - at)), {}};
    std::size_t end = equals + 1;
    if (end < text.size() && text[end] == '{') {
      ++end;
      for (;;) {
        if (end >= text.size()) {
          throw std::runtime_error("malformed connection string: the value of '" + attribute.key +
                                   "' has no closing '}'");
        }
        if (text[end] == '}') {
          if (end + 1 < text.size() && text[end + 1] == '}') {
            attribute.value += '}';
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        attribute.value += text[end++];
      }
      if (end < text.size() && text[end] != ';') {
        throw std::runtime_error("malformed connection string: text after the braced value of '" +
                                 attribute.key + "'");
      }
    } else {
      const std::size_t semicolon = std::min(text.find(';', end), text.size());
      attribute.value = std::string(text.substr(end, semicolon - end));
      end = semicolon;
    }
    attributes.push_back(std::move(attribute));
    at = end;
  }
  return attributes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read the scenario file '" + path + "'");
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// A scripted failure of one of the connection's calls: "fail" ones fail
// every time, "fail-once" ones the first time only.
const Failure* CallFailure(Connection& dbc, Call call) {
  const auto it = dbc.scenario.callFailures.find(call);
  if (it == dbc.scenario.callFailures.end()) return nullptr;
  if (it->second.once && !dbc.failedOnce.insert(call).second) return nullptr;
  return &it->second.failure;
}

SQLRETURN FailWith(Handle& handle, const Failure& failure) {
  handle.diagnostics.push_back(
      {failure.sqlState, static_cast<SQLINTEGER>(failure.nativeError), failure.message});
  return SQL_ERROR;
}

// A path of the environment with "{database}" replaced by the connection's
// database, so that one command working on several databases finds each
// its own scenario and log; empty when the variable is not set.
std::string ForDatabase(const char* variable, const std::string& database) {
  if (variable == nullptr) return {};
  std::string path = variable;
  constexpr std::string_view kMark = "{database}";
  for (auto at = path.find(kMark); at != std::string::npos; at = path.find(kMark, at)) {
    path.replace(at, kMark.size(), database);
    at += database.size();
  }
  return path;
}

// With SCRIPTED_ODBC_LOG_PROCESS set: the arguments of the process that
// loaded the driver, and the names of the variables of its environment
// that may hold a password, so that a test sees what a parent handed on.
void LogProcess(const Connection& dbc) {
  if (std::getenv("SCRIPTED_ODBC_LOG_PROCESS") == nullptr) return;
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::string arguments;
  std::string argument;
  // The program's own path first, left out: only the options tell.
  for (bool first = true; std::getline(file, argument, '\0'); first = false) {
    if (!first) arguments += " " + argument;
  }
  Log(dbc, "PROCESS ARGS" + arguments);
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string_view entry(*variable);
    const std::string_view name = entry.substr(0, entry.find('='));
    if (name.find("PASSWORD") != std::string_view::npos) {
      Log(dbc, "PROCESS ENV " + std::string(name));
    }
  }
}

SQLRETURN Connect(Connection& dbc, const std::string& connectionString) {
  if (dbc.connected) return Fail(dbc, "08002", "[scripted] connection name in use");
  std::vector<Attribute> attributes;
  std::string malformed;
  try {
    attributes = ParseConnectionString(connectionString);
  } catch (const std::exception& e) {
    malformed = e.what();
  }
  for (const Attribute& attribute : attributes) {
    if (attribute.key == "Database") dbc.database = attribute.value;
  }
  dbc.logPath = ForDatabase(std::getenv("SCRIPTED_ODBC_LOG"), dbc.database);
  Log(dbc, "CONNECT");
  LogProcess(dbc);
  if (!malformed.empty()) {
    Log(dbc, std::string("MALFORMED ") + connectionString);
    return Fail(dbc, "08001", std::string("[scripted] ") + malformed);
  }
  for (const Attribute& attribute : attributes) {
    Log(dbc, "ATTRIBUTE " + attribute.key + "=" + attribute.value);
  }
  const std::string scenarioPath = ForDatabase(std::getenv("SCRIPTED_ODBC_SCENARIO"), dbc.database);
  const char* path = scenarioPath.empty() ? nullptr : scenarioPath.c_str();
  if (path == nullptr) {
    return Fail(dbc, "08001", "[scripted] SCRIPTED_ODBC_SCENARIO names no scenario file");
  }
  try {
    dbc.scenario = ParseScenario(ReadFile(path));
  } catch (const std::exception& e) {
    Log(dbc, std::string("SCENARIO ERROR ") + e.what());
    return Fail(dbc, "08001", std::string("[scripted] scenario '") + path + "': " + e.what());
  }
  dbc.turns.clear();
  if (const Failure* failure = CallFailure(dbc, Call::kConnect)) {
    // Some drivers echo the connection string, password and all, in their
    // message: "{connection string}" in a scripted one stands for it.
    Failure echoing = *failure;
    constexpr std::string_view kEcho = "{connection string}";
    if (const auto at = echoing.message.find(kEcho); at != std::string::npos) {
      echoing.message.replace(at, kEcho.size(), connectionString);
    }
    return FailWith(dbc, echoing);
  }
  dbc.connected = true;
  dbc.autocommit = true;
  dbc.workPending = false;
  return SQL_SUCCESS;
}

SQLRETURN Disconnect(Connection& dbc) {
  if (!dbc.connected) return Fail(dbc, "08003", "[scripted] connection not open");
  Log(dbc, "DISCONNECT");
  // SQL Server's drivers keep the link while a transaction holds work.
  if (!dbc.autocommit && dbc.workPending) {
    return Fail(dbc, "25000", "[scripted] invalid transaction state: a transaction is open");
  }
  if (const Failure* failure = CallFailure(dbc, Call::kDisconnect)) return FailWith(dbc, *failure);
  for (Statement* statement : dbc.statements) statement->cursorOpen = false;
  dbc.connected = false;
  return SQL_SUCCESS;
}

SQLRETURN EndTransaction(Connection& dbc, SQLSMALLINT completion) {
  if (!dbc.connected) return Fail(dbc, "08003", "[scripted] connection not open");
  const bool commit = completion == SQL_COMMIT;
  if (!commit && completion != SQL_ROLLBACK) {
    return Fail(dbc, "HY012", "[scripted] invalid transaction operation code");
  }
  Log(dbc, commit ? "COMMIT" : "ROLLBACK");
  if (const Failure* failure = CallFailure(dbc, commit ? Call::kCommit : Call::kRollback)) {
    return FailWith(dbc, *failure);
  }
  dbc.workPending = false;
  return SQL_SUCCESS;
}

const char* IsolationName(SQLUINTEGER level) {
  switch (level) {
    case SQL_TXN_READ_UNCOMMITTED:
      return "READ UNCOMMITTED";
    case SQL_TXN_READ_COMMITTED:
      return "READ COMMITTED";
    case SQL_TXN_REPEATABLE_READ:
      return "REPEATABLE READ";
    case SQL_TXN_SERIALIZABLE:
      return "SERIALIZABLE";
    default:
      return "UNKNOWN";
  }
}

SQLULEN IntegerOf(SQLPOINTER value) {
  return static_cast<SQLULEN>(reinterpret_cast<std::uintptr_t>(value));
}

SQLRETURN SetConnectAttribute(Connection& dbc, SQLINTEGER attribute, SQLPOINTER value) {
  switch (attribute) {
    case SQL_ATTR_AUTOCOMMIT: {
      const bool on = IntegerOf(value) == SQL_AUTOCOMMIT_ON;
      if (dbc.connected) Log(dbc, on ? "SET AUTOCOMMIT ON" : "SET AUTOCOMMIT OFF");
      if (!on && dbc.connected) {
        if (const Failure* failure = CallFailure(dbc, Call::kStartTransaction)) {
          return FailWith(dbc, *failure);
        }
      }
      if (on && dbc.connected && !dbc.autocommit) {
        if (const Failure* failure = CallFailure(dbc, Call::kEndTransaction)) {
          return FailWith(dbc, *failure);
        }
      }
      // Turning autocommit on commits what the transaction holds.
      if (on) dbc.workPending = false;
      dbc.autocommit = on;
      return SQL_SUCCESS;
    }
    case SQL_ATTR_TXN_ISOLATION:
      dbc.isolation = static_cast<SQLUINTEGER>(IntegerOf(value));
      if (dbc.connected) Log(dbc, std::string("SET ISOLATION ") + IsolationName(dbc.isolation));
      return SQL_SUCCESS;
    case SQL_ATTR_LOGIN_TIMEOUT:
      dbc.loginTimeout = static_cast<SQLUINTEGER>(IntegerOf(value));
      return SQL_SUCCESS;
    default:
      // Whatever else the driver manager passes on is taken and ignored.
      return SQL_SUCCESS;
  }
}

// An integer attribute, or a string one given as UTF-8 and written by `put`.
template <typename PutString>
SQLRETURN GetConnectAttribute(Connection& dbc, SQLINTEGER attribute, SQLPOINTER value,
                              PutString put) {
  const auto integer = [value](SQLUINTEGER number) {
    if (value != nullptr) *static_cast<SQLUINTEGER*>(value) = number;
    return SQL_SUCCESS;
  };
  switch (attribute) {
    case SQL_ATTR_AUTOCOMMIT:
      return integer(dbc.autocommit ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF);
    case SQL_ATTR_TXN_ISOLATION:
      return integer(dbc.isolation);
    case SQL_ATTR_LOGIN_TIMEOUT:
      return integer(dbc.loginTimeout);
    case SQL_ATTR_CONNECTION_DEAD:
      return integer(dbc.connected ? SQL_CD_FALSE : SQL_CD_TRUE);
    case SQL_ATTR_ACCESS_MODE:
      return integer(SQL_MODE_READ_WRITE);
    case SQL_ATTR_ASYNC_ENABLE:
      return integer(SQL_ASYNC_ENABLE_OFF);
    case SQL_ATTR_CURRENT_CATALOG:
      return put(dbc.database);
    default:
      return Fail(dbc, "HY092", "[scripted] invalid attribute identifier");
  }
}

// ---- statements ----

constexpr std::string_view kNoAnswer = "[scripted] no answer scripted for this statement: ";

// Applies the statement's current result: a failure ends the call with it.
SQLRETURN EnterResult(Statement& stmt) {
  const Result* result = stmt.Current();
  stmt.cursorOpen = false;
  stmt.row = 0;
  stmt.column = 0;
  if (result == nullptr) return SQL_NO_DATA;
  if (result->failure) return FailWith(stmt, *result->failure);
  stmt.cursorOpen = result->hasColumns;
  for (const Failure& info : result->information) {
    stmt.diagnostics.push_back(
        {info.sqlState, static_cast<SQLINTEGER>(info.nativeError), info.message});
  }
  if (!result->information.empty()) return SQL_SUCCESS_WITH_INFO;
  // A searched UPDATE or DELETE that touched no row.
  if (!result->hasColumns && result->rowsAffected == 0) return SQL_NO_DATA;
  return SQL_SUCCESS;
}

// A statement the user interrupts: the signal goes to the process, and the
// statement "runs" until the client's SQLCancel arrives, as SQL Server's
// does, then fails the way a cancelled one does.
SQLRETURN RunUntilCancelled(Statement& stmt, const Result& result) {
  stmt.cancelled = false;
  if (result.raiseSignal != 0) {
    const pid_t to = result.signalTo == Result::SignalTo::kGroup    ? 0
                     : result.signalTo == Result::SignalTo::kParent ? getppid()
                                                                    : getpid();
    kill(to, result.raiseSignal);
  }
  for (int waited = 0; !stmt.cancelled && waited < 10000; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stmt.executed = false;
  return Fail(stmt, "HY008", "[scripted] Operation canceled");
}

// Standard output becomes a pipe whose reader has gone.
void CloseOutput() {
  int fds[2];
  if (pipe(fds) != 0) return;
  close(fds[0]);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
}

SQLRETURN ExecDirect(Statement& stmt, const std::string& text) {
  Connection& dbc = *stmt.connection;
  if (!dbc.connected) return Fail(stmt, "08003", "[scripted] connection not open");
  Log(dbc, "EXEC " + text);
  if (!dbc.autocommit) dbc.workPending = true;
  stmt.executed = true;
  stmt.results.clear();
  stmt.result = 0;
  stmt.cursorOpen = false;
  const auto it = dbc.scenario.answers.find(text);
  if (it == dbc.scenario.answers.end() || it->second.empty()) {
    stmt.executed = false;
    return Fail(stmt, "42000", std::string(kNoAnswer) + text);
  }
  std::size_t& turn = dbc.turns[text];
  stmt.results = it->second[std::min(turn, it->second.size() - 1)].results;
  ++turn;
  if (stmt.results.front().raiseSignal != 0 || stmt.results.front().waitForCancel) {
    return RunUntilCancelled(stmt, stmt.results.front());
  }
  if (stmt.results.front().closeOutput) CloseOutput();
  return EnterResult(stmt);
}

bool IsInteger(const std::string& text) {
  if (text.empty() || text.size() > 11) return false;
  const std::size_t first = text[0] == '-' ? 1 : 0;
  if (first == text.size()) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(first), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// A column whose every value is an integer is described as INTEGER, any other
// as a character column long enough for its longest value.
struct ColumnType {
  SQLSMALLINT type;
  SQLULEN size;
};

ColumnType TypeOf(const Result& result, std::size_t column) {
  bool integers = false;
  std::size_t longest = 1;
  for (const auto& row : result.rows) {
    if (!row[column]) continue;
    integers = true;
    longest = std::max(longest, Utf8ToUtf16(*row[column]).size());
  }
  for (const auto& row : result.rows) {
    if (row[column] && !IsInteger(*row[column])) integers = false;
  }
  if (integers) return {SQL_INTEGER, 10};
#ifdef SCRIPTED_ODBC_NARROW_ONLY
  return {SQL_VARCHAR, longest};
#else
  return {SQL_WVARCHAR, longest};
#endif
}

SQLRETURN CheckColumn(Statement& stmt, SQLUSMALLINT column, const Result*& result) {
  result = stmt.Current();
  if (result == nullptr || !result->hasColumns) {
    return Fail(stmt, "07005", "[scripted] the statement returned no columns");
  }
  if (column < 1 || column > result->columns.size()) {
    return Fail(stmt, "07009", "[scripted] invalid descriptor index");
  }
  return SQL_SUCCESS;
}

template <typename Unit>
SQLRETURN DescribeColumn(Statement& stmt, SQLUSMALLINT column, Unit* name, SQLSMALLINT capacity,
                         SQLSMALLINT* nameLength, SQLSMALLINT* dataType, SQLULEN* columnSize,
                         SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  const Result* result = nullptr;
  if (const SQLRETURN checked = CheckColumn(stmt, column, result); checked != SQL_SUCCESS) {
    return checked;
  }
  const std::string& utf8 = result->columns[column - 1u];
  const ColumnType type = TypeOf(*result, column - 1u);
  if (dataType != nullptr) *dataType = type.type;
  if (columnSize != nullptr) *columnSize = type.size;
  if (digits != nullptr) *digits = 0;
  if (nullable != nullptr) *nullable = SQL_NULLABLE;
  bool whole = false;
  const auto room = static_cast<std::size_t>(std::max<SQLSMALLINT>(capacity, 0));
  if constexpr (sizeof(Unit) == 1) {
    whole = PutText<char>(utf8, reinterpret_cast<char*>(name), room, nameLength);
  } else {
    const std::u16string wide = Utf8ToUtf16(utf8);
    whole = PutText<char16_t>(wide, reinterpret_cast<char16_t*>(name), room, nameLength);
  }
  return whole ? SQL_SUCCESS : Warn(stmt, "01004", "[scripted] string data, right truncated");
}

SQLRETURN Fetch(Statement& stmt) {
  const Result* result = stmt.Current();
  if (result == nullptr || !stmt.cursorOpen)
    return Fail(stmt, "24000", "[scripted] invalid cursor state");
  stmt.column = 0;
  if (stmt.row >= result->rows.size()) {
    stmt.row = result->rows.size() + 1;
    return SQL_NO_DATA;
  }
  ++stmt.row;
  return SQL_SUCCESS;
}

// Where a piece of character data may end: never inside a UTF-8 sequence or
// between the two halves of a surrogate pair, so that the driver manager can
// convert every piece on its own.
std::size_t PieceEnd(std::string_view bytes, std::size_t start, std::size_t end, std::size_t unit) {
  if (end >= bytes.size()) return bytes.size();
  if (unit == 1) {
    std::size_t cut = end;
    while (cut > start && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
    return cut > start ? cut : end;
  }
  std::uint16_t last = 0;
  std::memcpy(&last, bytes.data() + end - 2, 2);
  return last >= 0xD800 && last <= 0xDBFF && end - 2 > start ? end - 2 : end;
}

SQLRETURN GetData(Statement& stmt, SQLUSMALLINT column, SQLSMALLINT targetType, SQLPOINTER target,
                  SQLLEN bufferLength, SQLLEN* indicator) {
  const Result* result = nullptr;
  if (const SQLRETURN checked = CheckColumn(stmt, column, result); checked != SQL_SUCCESS) {
    return checked;
  }
  if (!stmt.cursorOpen || stmt.row == 0 || stmt.row > result->rows.size()) {
    return Fail(stmt, "24000", "[scripted] invalid cursor state: no current row");
  }
  if (column != stmt.column) {
    stmt.column = column;
    stmt.offset = 0;
    stmt.delivered = false;
  }
  const Cell& cell = result->rows[stmt.row - 1][column - 1u];
  if (stmt.delivered && !cell) return SQL_NO_DATA;
  if (!cell) {
    if (indicator == nullptr) return Fail(stmt, "22002", "[scripted] indicator variable required");
    *indicator = SQL_NULL_DATA;
    stmt.delivered = true;
    return SQL_SUCCESS;
  }
  if (targetType == SQL_C_SLONG || targetType == SQL_C_LONG) {
    if (stmt.delivered) return SQL_NO_DATA;
    if (!IsInteger(*cell)) return Fail(stmt, "22018", "[scripted] invalid character value");
    if (target != nullptr) *static_cast<SQLINTEGER*>(target) = std::stoi(*cell);
    if (indicator != nullptr) *indicator = sizeof(SQLINTEGER);
    stmt.delivered = true;
    return SQL_SUCCESS;
  }
  std::string bytes;
  std::size_t unit = 1;
  if (targetType == SQL_C_WCHAR) {
    const std::u16string wide = Utf8ToUtf16(*cell);
    bytes.assign(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(char16_t));
    unit = sizeof(char16_t);
  } else if (targetType == SQL_C_CHAR || targetType == SQL_C_DEFAULT) {
    bytes = *cell;
  } else {
    return Fail(stmt, "HY003", "[scripted] program type out of range");
  }
  if (stmt.delivered && stmt.offset >= bytes.size()) return SQL_NO_DATA;
  const std::size_t remaining = bytes.size() - stmt.offset;
  if (indicator != nullptr) *indicator = static_cast<SQLLEN>(remaining);
  const auto room = static_cast<std::size_t>(std::max<SQLLEN>(bufferLength, 0));
  if (target == nullptr || room < unit) {
    stmt.delivered = true;
    return remaining == 0 ? SQL_SUCCESS
                          : Warn(stmt, "01004", "[scripted] string data, right truncated");
  }
  const std::size_t fits = (room / unit - 1) * unit;
  const std::size_t end =
      PieceEnd(bytes, stmt.offset, stmt.offset + std::min(remaining, fits), unit);
  auto* out = static_cast<char*>(target);
  std::memcpy(out, bytes.data() + stmt.offset, end - stmt.offset);
  std::memset(out + (end - stmt.offset), 0, unit);
  stmt.offset = end;
  stmt.delivered = true;
  return stmt.offset == bytes.size()
             ? SQL_SUCCESS
             : Warn(stmt, "01004", "[scripted] string data, right truncated");
}

SQLRETURN MoreResults(Statement& stmt) {
  if (!stmt.executed) return SQL_NO_DATA;
  if (stmt.result + 1 >= stmt.results.size()) {
    stmt.result = stmt.results.size();
    stmt.cursorOpen = false;
    return SQL_NO_DATA;
  }
  ++stmt.result;
  const SQLRETURN entered = EnterResult(stmt);
  // A result that touched no row is a result all the same.
  return entered == SQL_NO_DATA ? SQL_SUCCESS : entered;
}

template <typename Unit>
SQLRETURN ColumnAttribute(Statement& stmt, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER text,
                          SQLSMALLINT bufferBytes, SQLSMALLINT* textBytes, SQLLEN* number) {
  const Result* result = stmt.Current();
  if (field == SQL_DESC_COUNT || field == SQL_COLUMN_COUNT) {
    if (number != nullptr) {
      *number =
          result != nullptr && result->hasColumns ? static_cast<SQLLEN>(result->columns.size()) : 0;
    }
    return SQL_SUCCESS;
  }
  if (const SQLRETURN checked = CheckColumn(stmt, column, result); checked != SQL_SUCCESS) {
    return checked;
  }
  const ColumnType type = TypeOf(*result, column - 1u);
  switch (field) {
    case SQL_DESC_NAME:
    case SQL_DESC_LABEL:
    case SQL_COLUMN_NAME: {
      const std::string& name = result->columns[column - 1u];
      const auto room =
          static_cast<std::size_t>(std::max<SQLSMALLINT>(bufferBytes, 0)) / sizeof(Unit);
      SQLSMALLINT units = 0;
      bool whole = false;
      if constexpr (sizeof(Unit) == 1) {
        whole = PutText<char>(name, static_cast<char*>(text), room, &units);
      } else {
        whole = PutText<char16_t>(Utf8ToUtf16(name), static_cast<char16_t*>(text), room, &units);
      }
      if (textBytes != nullptr) *textBytes = static_cast<SQLSMALLINT>(units * sizeof(Unit));
      return whole ? SQL_SUCCESS : Warn(stmt, "01004", "[scripted] string data, right truncated");
    }
    case SQL_DESC_TYPE:
    case SQL_DESC_CONCISE_TYPE:
      if (number != nullptr) *number = type.type;
      return SQL_SUCCESS;
    case SQL_DESC_LENGTH:
    case SQL_DESC_OCTET_LENGTH:
    case SQL_DESC_DISPLAY_SIZE:
    case SQL_COLUMN_LENGTH:
    case SQL_COLUMN_PRECISION:
      if (number != nullptr) *number = static_cast<SQLLEN>(type.size);
      return SQL_SUCCESS;
    case SQL_DESC_NULLABLE:
    case SQL_COLUMN_NULLABLE:
      if (number != nullptr) *number = SQL_NULLABLE;
      return SQL_SUCCESS;
    case SQL_DESC_UNSIGNED:
      if (number != nullptr) *number = SQL_FALSE;
      return SQL_SUCCESS;
    default:
      return Fail(stmt, "HY091", "[scripted] invalid descriptor field identifier");
  }
}

// ---- information ----

// What SQLGetInfo reports: a text (UTF-8), or a number of the given width.
struct Info {
  enum Kind { kText, kSmall, kInteger } kind;
  std::string text;
  SQLUINTEGER number = 0;
};

bool InfoFor(const Connection& dbc, SQLUSMALLINT type, Info& info) {
  const auto text = [&info](std::string value) {
    info = {Info::kText, std::move(value), 0};
    return true;
  };
  const auto small = [&info](SQLUINTEGER value) {
    info = {Info::kSmall, {}, value};
    return true;
  };
  const auto integer = [&info](SQLUINTEGER value) {
    info = {Info::kInteger, {}, value};
    return true;
  };
  switch (type) {
    case SQL_DRIVER_NAME:
      return text("libscripted_odbc.so");
    case SQL_DRIVER_VER:
      return text("01.00.0000");
    case SQL_DRIVER_ODBC_VER:
      return text("03.52");
    case SQL_ODBC_VER:
      return text("03.52.0000");
    case SQL_DBMS_NAME:
      return text("Scripted");
    case SQL_DBMS_VER:
      return text("01.00.0000");
    case SQL_SERVER_NAME:
    case SQL_DATA_SOURCE_NAME:
    case SQL_USER_NAME:
      return text("");
    case SQL_DATABASE_NAME:
      return text(dbc.database);
    case SQL_DATA_SOURCE_READ_ONLY:
      return text("N");
    case SQL_MULT_RESULT_SETS:
      return text("Y");
    case SQL_SEARCH_PATTERN_ESCAPE:
      return text("\\");
    case SQL_IDENTIFIER_QUOTE_CHAR:
      return text("\"");
    case SQL_CURSOR_COMMIT_BEHAVIOR:
    case SQL_CURSOR_ROLLBACK_BEHAVIOR:
      return small(SQL_CB_PRESERVE);
    case SQL_TXN_CAPABLE:
      return small(SQL_TC_ALL);
    case SQL_MAX_CONCURRENT_ACTIVITIES:
    case SQL_MAX_DRIVER_CONNECTIONS:
      return small(0);
    case SQL_DEFAULT_TXN_ISOLATION:
      return integer(SQL_TXN_READ_COMMITTED);
    case SQL_TXN_ISOLATION_OPTION:
      return integer(SQL_TXN_READ_UNCOMMITTED | SQL_TXN_READ_COMMITTED | SQL_TXN_REPEATABLE_READ |
                     SQL_TXN_SERIALIZABLE);
    case SQL_GETDATA_EXTENSIONS:
      return integer(SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER);
    case SQL_ASYNC_MODE:
      return integer(SQL_AM_NONE);
    case SQL_ODBC_INTERFACE_CONFORMANCE:
      return integer(SQL_OIC_CORE);
    case SQL_CURSOR_SENSITIVITY:
      return integer(SQL_UNSPECIFIED);
    case SQL_SCROLL_OPTIONS:
      return integer(SQL_SO_FORWARD_ONLY);
    default:
      return false;
  }
}

template <typename Unit>
SQLRETURN GetInfo(Connection& dbc, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT bufferBytes,
                  SQLSMALLINT* length) {
  Info info{Info::kInteger, {}, 0};
  if (!InfoFor(dbc, type, info)) {
    if (Tracing()) std::fprintf(stderr, "scripted_odbc: SQLGetInfo %u not known\n", type);
    return Fail(dbc, "HY096", "[scripted] information type out of range");
  }
  if (info.kind == Info::kSmall) {
    if (value != nullptr)
      *static_cast<SQLUSMALLINT*>(value) = static_cast<SQLUSMALLINT>(info.number);
    if (length != nullptr) *length = sizeof(SQLUSMALLINT);
    return SQL_SUCCESS;
  }
  if (info.kind == Info::kInteger) {
    if (value != nullptr) *static_cast<SQLUINTEGER*>(value) = info.number;
    if (length != nullptr) *length = sizeof(SQLUINTEGER);
    return SQL_SUCCESS;
  }
  const auto room = static_cast<std::size_t>(std::max<SQLSMALLINT>(bufferBytes, 0)) / sizeof(Unit);
  SQLSMALLINT units = 0;
  bool whole = false;
  if constexpr (sizeof(Unit) == 1) {
    whole = PutText<char>(info.text, static_cast<char*>(value), room, &units);
  } else {
    whole = PutText<char16_t>(Utf8ToUtf16(info.text), static_cast<char16_t*>(value), room, &units);
  }
  if (length != nullptr) *length = static_cast<SQLSMALLINT>(units * sizeof(Unit));
  return whole ? SQL_SUCCESS : Warn(dbc, "01004", "[scripted] string data, right truncated");
}

// ---- diagnostics ----

Handle* AnyHandle(SQLSMALLINT type, SQLHANDLE raw) {
  auto* handle = static_cast<Handle*>(raw);
  if (handle == nullptr || handle->magic != kMagic || handle->handleType != type) return nullptr;
  return handle;
}

template <typename Unit>
SQLRETURN GetDiagRecord(SQLSMALLINT type, SQLHANDLE raw, SQLSMALLINT record, Unit* state,
                        SQLINTEGER* native, Unit* message, SQLSMALLINT capacity,
                        SQLSMALLINT* length) {
  Handle* handle = AnyHandle(type, raw);
  if (handle == nullptr) return SQL_INVALID_HANDLE;
  if (record < 1) return SQL_ERROR;
  if (static_cast<std::size_t>(record) > handle->diagnostics.size()) return SQL_NO_DATA;
  const Diagnostic& d = handle->diagnostics[static_cast<std::size_t>(record) - 1];
  if (native != nullptr) *native = d.native;
  const auto room = static_cast<std::size_t>(std::max<SQLSMALLINT>(capacity, 0));
  bool whole = false;
  if constexpr (sizeof(Unit) == 1) {
    if (state != nullptr)
      PutText<char>(d.sqlState, reinterpret_cast<char*>(state), 6,
                    static_cast<SQLSMALLINT*>(nullptr));
    whole = PutText<char>(d.message, reinterpret_cast<char*>(message), room, length);
  } else {
    if (state != nullptr) {
      PutText<char16_t>(Utf8ToUtf16(d.sqlState), reinterpret_cast<char16_t*>(state), 6,
                        static_cast<SQLSMALLINT*>(nullptr));
    }
    whole = PutText<char16_t>(Utf8ToUtf16(d.message), reinterpret_cast<char16_t*>(message), room,
                              length);
  }
  return whole ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
}

template <typename Unit>
SQLRETURN GetDiagField(SQLSMALLINT type, SQLHANDLE raw, SQLSMALLINT record, SQLSMALLINT field,
                       SQLPOINTER value, SQLSMALLINT bufferBytes, SQLSMALLINT* length) {
  Handle* handle = AnyHandle(type, raw);
  if (handle == nullptr) return SQL_INVALID_HANDLE;
  const auto putText = [&](const std::string& utf8) {
    const auto room =
        static_cast<std::size_t>(std::max<SQLSMALLINT>(bufferBytes, 0)) / sizeof(Unit);
    SQLSMALLINT units = 0;
    bool whole = false;
    if constexpr (sizeof(Unit) == 1) {
      whole = PutText<char>(utf8, static_cast<char*>(value), room, &units);
    } else {
      whole = PutText<char16_t>(Utf8ToUtf16(utf8), static_cast<char16_t*>(value), room, &units);
    }
    if (length != nullptr) *length = static_cast<SQLSMALLINT>(units * sizeof(Unit));
    return whole ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
  };
  // Header fields.
  switch (field) {
    case SQL_DIAG_NUMBER:
      if (value != nullptr)
        *static_cast<SQLINTEGER*>(value) = static_cast<SQLINTEGER>(handle->diagnostics.size());
      return SQL_SUCCESS;
    case SQL_DIAG_RETURNCODE:
      if (value != nullptr) {
        *static_cast<SQLRETURN*>(value) = handle->diagnostics.empty() ? SQL_SUCCESS : SQL_ERROR;
      }
      return SQL_SUCCESS;
    case SQL_DIAG_ROW_COUNT:
    case SQL_DIAG_CURSOR_ROW_COUNT:
      if (value != nullptr) *static_cast<SQLLEN*>(value) = 0;
      return SQL_SUCCESS;
    default:
      break;
  }
  if (record < 1) return SQL_ERROR;
  if (static_cast<std::size_t>(record) > handle->diagnostics.size()) return SQL_NO_DATA;
  const Diagnostic& d = handle->diagnostics[static_cast<std::size_t>(record) - 1];
  switch (field) {
    case SQL_DIAG_SQLSTATE:
      return putText(d.sqlState);
    case SQL_DIAG_MESSAGE_TEXT:
      return putText(d.message);
    case SQL_DIAG_CLASS_ORIGIN:
    case SQL_DIAG_SUBCLASS_ORIGIN:
      return putText(d.sqlState.rfind("IM", 0) == 0 ? "ODBC 3.0" : "ISO 9075");
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_SERVER_NAME:
      return putText("");
    case SQL_DIAG_NATIVE:
      if (value != nullptr) *static_cast<SQLINTEGER*>(value) = d.native;
      return SQL_SUCCESS;
    case SQL_DIAG_ROW_NUMBER:
      if (value != nullptr) *static_cast<SQLLEN*>(value) = SQL_NO_ROW_NUMBER;
      return SQL_SUCCESS;
    case SQL_DIAG_COLUMN_NUMBER:
      if (value != nullptr) *static_cast<SQLINTEGER*>(value) = SQL_NO_COLUMN_NUMBER;
      return SQL_SUCCESS;
    default:
      return SQL_ERROR;
  }
}

// ---- allocation ----

SQLRETURN AllocateHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
  if (output == nullptr) return SQL_ERROR;
  try {
    switch (type) {
      case SQL_HANDLE_ENV:
        *output = new Environment();
        return SQL_SUCCESS;
      case SQL_HANDLE_DBC: {
        auto* env = As<Environment>(input, SQL_HANDLE_ENV);
        if (env == nullptr) return SQL_INVALID_HANDLE;
        auto* dbc = new Connection(env);
        env->connections.insert(dbc);
        *output = dbc;
        return SQL_SUCCESS;
      }
      case SQL_HANDLE_STMT: {
        auto* dbc = As<Connection>(input, SQL_HANDLE_DBC);
        if (dbc == nullptr) return SQL_INVALID_HANDLE;
        if (!dbc->connected) return Fail(*dbc, "08003", "[scripted] connection not open");
        auto* stmt = new Statement(dbc);
        dbc->statements.insert(stmt);
        *output = stmt;
        return SQL_SUCCESS;
      }
      default:
        return SQL_ERROR;
    }
  } catch (const std::bad_alloc&) {
    return SQL_ERROR;
  }
}

SQLRETURN FreeHandle(SQLSMALLINT type, SQLHANDLE raw) {
  switch (type) {
    case SQL_HANDLE_ENV: {
      auto* env = As<Environment>(raw, SQL_HANDLE_ENV);
      if (env == nullptr) return SQL_INVALID_HANDLE;
      if (!env->connections.empty()) return Fail(*env, "HY010", "[scripted] connections remain");
      delete env;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_DBC: {
      auto* dbc = As<Connection>(raw, SQL_HANDLE_DBC);
      if (dbc == nullptr) return SQL_INVALID_HANDLE;
      if (dbc->connected) return Fail(*dbc, "HY010", "[scripted] the connection is still open");
      for (Statement* stmt : dbc->statements) delete stmt;
      dbc->environment->connections.erase(dbc);
      delete dbc;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_STMT: {
      auto* stmt = As<Statement>(raw, SQL_HANDLE_STMT);
      if (stmt == nullptr) return SQL_INVALID_HANDLE;
      stmt->connection->statements.erase(stmt);
      delete stmt;
      return SQL_SUCCESS;
    }
    case SQL_HANDLE_DESC:
      // Only implicit descriptors exist; they go with their statement.
      return SQL_SUCCESS;
    default:
      return SQL_ERROR;
  }
}

SQLRETURN SetStmtAttribute(Statement& stmt, SQLINTEGER attribute, SQLPOINTER value) {
  if (attribute == SQL_ATTR_NOSCAN) stmt.noscan = IntegerOf(value);
  return SQL_SUCCESS;
}

SQLRETURN GetStmtAttribute(Statement& stmt, SQLINTEGER attribute, SQLPOINTER value) {
  const auto pointer = [value](void* handle) {
    if (value != nullptr) *static_cast<SQLPOINTER*>(value) = handle;
    return SQL_SUCCESS;
  };
  const auto integer = [value](SQLULEN number) {
    if (value != nullptr) *static_cast<SQLULEN*>(value) = number;
    return SQL_SUCCESS;
  };
  switch (attribute) {
    case SQL_ATTR_APP_ROW_DESC:
      return pointer(&stmt.descriptors[0]);
    case SQL_ATTR_APP_PARAM_DESC:
      return pointer(&stmt.descriptors[1]);
    case SQL_ATTR_IMP_ROW_DESC:
      return pointer(&stmt.descriptors[2]);
    case SQL_ATTR_IMP_PARAM_DESC:
      return pointer(&stmt.descriptors[3]);
    case SQL_ATTR_NOSCAN:
      return integer(stmt.noscan);
    case SQL_ATTR_CURSOR_TYPE:
      return integer(SQL_CURSOR_FORWARD_ONLY);
    case SQL_ATTR_CONCURRENCY:
      return integer(SQL_CONCUR_READ_ONLY);
    case SQL_ATTR_ROW_ARRAY_SIZE:
      return integer(1);
    default:
      return Fail(stmt, "HY092", "[scripted] invalid attribute identifier");
  }
}

}  // namespace
}  // namespace scripted_odbc

using namespace scripted_odbc;

// ---- the entry points both builds have ----

SCRIPTED_EXPORT SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT HandleType, SQLHANDLE InputHandle,
                                                 SQLHANDLE* OutputHandle) {
  Trace("SQLAllocHandle");
  return AllocateHandle(HandleType, InputHandle, OutputHandle);
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT HandleType, SQLHANDLE Handle) {
  Trace("SQLFreeHandle");
  return FreeHandle(HandleType, Handle);
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT StatementHandle, SQLUSMALLINT Option) {
  if (Option == SQL_DROP) {
    Trace("SQLFreeStmt");
    return FreeHandle(SQL_HANDLE_STMT, StatementHandle);
  }
  return Enter<Statement>("SQLFreeStmt", StatementHandle, SQL_HANDLE_STMT,
                          [&](Statement& stmt) -> SQLRETURN {
                            if (Option == SQL_CLOSE) {
                              stmt.cursorOpen = false;
                              stmt.executed = false;
                              stmt.results.clear();
                            }
                            return SQL_SUCCESS;
                          });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT StatementHandle) {
  return Enter<Statement>("SQLCloseCursor", StatementHandle, SQL_HANDLE_STMT,
                          [](Statement& stmt) -> SQLRETURN {
                            if (!stmt.cursorOpen)
                              return Fail(stmt, "24000", "[scripted] invalid cursor state");
                            stmt.cursorOpen = false;
                            return SQL_SUCCESS;
                          });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLCancel(SQLHSTMT StatementHandle) {
  return Enter<Statement>("SQLCancel", StatementHandle, SQL_HANDLE_STMT,
                          [](Statement& stmt) -> SQLRETURN {
                            Log(*stmt.connection, "CANCEL");
                            stmt.cancelled = true;
                            return SQL_SUCCESS;
                          });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute,
                                                SQLPOINTER Value, SQLINTEGER) {
  return Enter<Environment>("SQLSetEnvAttr", EnvironmentHandle, SQL_HANDLE_ENV,
                            [&](Environment& env) -> SQLRETURN {
                              if (Attribute == SQL_ATTR_ODBC_VERSION) {
                                env.odbcVersion = static_cast<SQLINTEGER>(IntegerOf(Value));
                              }
                              return SQL_SUCCESS;
                            });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV EnvironmentHandle, SQLINTEGER Attribute,
                                                SQLPOINTER Value, SQLINTEGER,
                                                SQLINTEGER* StringLength) {
  return Enter<Environment>("SQLGetEnvAttr", EnvironmentHandle, SQL_HANDLE_ENV,
                            [&](Environment& env) -> SQLRETURN {
                              SQLINTEGER number = 0;
                              if (Attribute == SQL_ATTR_ODBC_VERSION) {
                                number = env.odbcVersion;
                              } else if (Attribute == SQL_ATTR_OUTPUT_NTS) {
                                number = SQL_TRUE;
                              } else {
                                return Fail(env, "HY092", "[scripted] invalid attribute");
                              }
                              if (Value != nullptr) *static_cast<SQLINTEGER*>(Value) = number;
                              if (StringLength != nullptr) *StringLength = sizeof number;
                              return SQL_SUCCESS;
                            });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLDisconnect(SQLHDBC ConnectionHandle) {
  return Enter<Connection>("SQLDisconnect", ConnectionHandle, SQL_HANDLE_DBC, Disconnect);
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLEndTran(SQLSMALLINT HandleType, SQLHANDLE Handle,
                                             SQLSMALLINT CompletionType) {
  if (HandleType == SQL_HANDLE_ENV) {
    return Enter<Environment>("SQLEndTran", Handle, SQL_HANDLE_ENV,
                              [&](Environment& env) -> SQLRETURN {
                                SQLRETURN outcome = SQL_SUCCESS;
                                for (Connection* dbc : env.connections) {
                                  if (!dbc->connected) continue;
                                  dbc->diagnostics.clear();
                                  if (EndTransaction(*dbc, CompletionType) == SQL_ERROR)
                                    outcome = SQL_ERROR;
                                }
                                return outcome;
                              });
  }
  return Enter<Connection>("SQLEndTran", Handle, SQL_HANDLE_DBC, [&](Connection& dbc) -> SQLRETURN {
    return EndTransaction(dbc, CompletionType);
  });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT StatementHandle,
                                                   SQLSMALLINT* ColumnCount) {
  return Enter<Statement>(
      "SQLNumResultCols", StatementHandle, SQL_HANDLE_STMT, [&](Statement& stmt) -> SQLRETURN {
        if (!stmt.executed) {
          return Fail(stmt, "HY010", "[scripted] function sequence error");
        }
        const Result* result = stmt.Current();
        const std::size_t count =
            result != nullptr && result->hasColumns ? result->columns.size() : 0;
        if (ColumnCount != nullptr) {
          *ColumnCount = static_cast<SQLSMALLINT>(count);
        }
        return SQL_SUCCESS;
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLFetch(SQLHSTMT StatementHandle) {
  return Enter<Statement>("SQLFetch", StatementHandle, SQL_HANDLE_STMT, Fetch);
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetData(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber,
                                             SQLSMALLINT TargetType, SQLPOINTER TargetValue,
                                             SQLLEN BufferLength, SQLLEN* StrLen_or_Ind) {
  return Enter<Statement>(
      "SQLGetData", StatementHandle, SQL_HANDLE_STMT, [&](Statement& stmt) -> SQLRETURN {
        return GetData(stmt, ColumnNumber, TargetType, TargetValue, BufferLength, StrLen_or_Ind);
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLMoreResults(SQLHSTMT StatementHandle) {
  return Enter<Statement>("SQLMoreResults", StatementHandle, SQL_HANDLE_STMT, MoreResults);
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLRowCount(SQLHSTMT StatementHandle, SQLLEN* RowCount) {
  return Enter<Statement>("SQLRowCount", StatementHandle, SQL_HANDLE_STMT,
                          [&](Statement& stmt) -> SQLRETURN {
                            const Result* result = stmt.Current();
                            if (RowCount != nullptr)
                              *RowCount = result != nullptr ? result->rowsAffected : -1;
                            return SQL_SUCCESS;
                          });
}

// ---- narrow entry points ----

SCRIPTED_EXPORT SQLRETURN SQL_API SQLDriverConnect(SQLHDBC ConnectionHandle, SQLHWND,
                                                   SQLCHAR* InConnectionString,
                                                   SQLSMALLINT StringLength1,
                                                   SQLCHAR* OutConnectionString,
                                                   SQLSMALLINT BufferLength,
                                                   SQLSMALLINT* StringLength2Ptr, SQLUSMALLINT) {
  return Enter<Connection>(
      "SQLDriverConnect", ConnectionHandle, SQL_HANDLE_DBC, [&](Connection& dbc) -> SQLRETURN {
        const std::string text = FromNarrow(InConnectionString, StringLength1);
        const SQLRETURN result = Connect(dbc, text);
        if (SQL_SUCCEEDED(result)) {
          PutText<char>(text, reinterpret_cast<char*>(OutConnectionString),
                        static_cast<std::size_t>(std::max<SQLSMALLINT>(BufferLength, 0)),
                        StringLength2Ptr);
        }
        return result;
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                                    SQLPOINTER Value, SQLINTEGER) {
  return Enter<Connection>(
      "SQLSetConnectAttr", ConnectionHandle, SQL_HANDLE_DBC,
      [&](Connection& dbc) -> SQLRETURN { return SetConnectAttribute(dbc, Attribute, Value); });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC ConnectionHandle, SQLINTEGER Attribute,
                                                    SQLPOINTER Value, SQLINTEGER BufferLength,
                                                    SQLINTEGER* StringLength) {
  return Enter<Connection>(
      "SQLGetConnectAttr", ConnectionHandle, SQL_HANDLE_DBC, [&](Connection& dbc) -> SQLRETURN {
        return GetConnectAttribute(dbc, Attribute, Value, [&](const std::string& text) {
          const bool whole = PutText<char>(
              text, static_cast<char*>(Value),
              static_cast<std::size_t>(std::max<SQLINTEGER>(BufferLength, 0)), StringLength);
          return whole ? SQL_SUCCESS
                       : Warn(dbc, "01004", "[scripted] string data, right truncated");
        });
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT StatementHandle, SQLINTEGER Attribute,
                                                 SQLPOINTER Value, SQLINTEGER) {
  return Enter<Statement>(
      "SQLSetStmtAttr", StatementHandle, SQL_HANDLE_STMT,
      [&](Statement& stmt) -> SQLRETURN { return SetStmtAttribute(stmt, Attribute, Value); });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT StatementHandle, SQLINTEGER Attribute,
                                                 SQLPOINTER Value, SQLINTEGER, SQLINTEGER*) {
  return Enter<Statement>(
      "SQLGetStmtAttr", StatementHandle, SQL_HANDLE_STMT,
      [&](Statement& stmt) -> SQLRETURN { return GetStmtAttribute(stmt, Attribute, Value); });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLExecDirect(SQLHSTMT StatementHandle, SQLCHAR* StatementText,
                                                SQLINTEGER TextLength) {
  return Enter<Statement>("SQLExecDirect", StatementHandle, SQL_HANDLE_STMT,
                          [&](Statement& stmt) -> SQLRETURN {
                            return ExecDirect(stmt, FromNarrow(StatementText, TextLength));
                          });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT StatementHandle,
                                                 SQLUSMALLINT ColumnNumber, SQLCHAR* ColumnName,
                                                 SQLSMALLINT BufferLength, SQLSMALLINT* NameLength,
                                                 SQLSMALLINT* DataType, SQLULEN* ColumnSize,
                                                 SQLSMALLINT* DecimalDigits,
                                                 SQLSMALLINT* Nullable) {
  return Enter<Statement>(
      "SQLDescribeCol", StatementHandle, SQL_HANDLE_STMT, [&](Statement& stmt) -> SQLRETURN {
        return DescribeColumn(stmt, ColumnNumber, ColumnName, BufferLength, NameLength, DataType,
                              ColumnSize, DecimalDigits, Nullable);
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API
SQLColAttribute(SQLHSTMT StatementHandle, SQLUSMALLINT ColumnNumber, SQLUSMALLINT FieldIdentifier,
                SQLPOINTER CharacterAttribute, SQLSMALLINT BufferLength, SQLSMALLINT* StringLength,
                SQLLEN* NumericAttribute) {
  return Enter<Statement>(
      "SQLColAttribute", StatementHandle, SQL_HANDLE_STMT, [&](Statement& stmt) -> SQLRETURN {
        return ColumnAttribute<char>(stmt, ColumnNumber, FieldIdentifier, CharacterAttribute,
                                     BufferLength, StringLength, NumericAttribute);
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetInfo(SQLHDBC ConnectionHandle, SQLUSMALLINT InfoType,
                                             SQLPOINTER InfoValue, SQLSMALLINT BufferLength,
                                             SQLSMALLINT* StringLength) {
  return Enter<Connection>(
      "SQLGetInfo", ConnectionHandle, SQL_HANDLE_DBC, [&](Connection& dbc) -> SQLRETURN {
        return GetInfo<char>(dbc, InfoType, InfoValue, BufferLength, StringLength);
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT HandleType, SQLHANDLE Handle,
                                                SQLSMALLINT RecNumber, SQLCHAR* Sqlstate,
                                                SQLINTEGER* NativeError, SQLCHAR* MessageText,
                                                SQLSMALLINT BufferLength, SQLSMALLINT* TextLength) {
  Trace("SQLGetDiagRec");
  return GetDiagRecord(HandleType, Handle, RecNumber, Sqlstate, NativeError, MessageText,
                       BufferLength, TextLength);
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT HandleType, SQLHANDLE Handle,
                                                  SQLSMALLINT RecNumber, SQLSMALLINT DiagIdentifier,
                                                  SQLPOINTER DiagInfo, SQLSMALLINT BufferLength,
                                                  SQLSMALLINT* StringLength) {
  Trace("SQLGetDiagField");
  return GetDiagField<char>(HandleType, Handle, RecNumber, DiagIdentifier, DiagInfo, BufferLength,
                            StringLength);
}

// ---- wide entry points ----

#ifndef SCRIPTED_ODBC_NARROW_ONLY

SCRIPTED_EXPORT SQLRETURN SQL_API SQLDriverConnectW(SQLHDBC hdbc, SQLHWND, SQLWCHAR* szConnStrIn,
                                                    SQLSMALLINT cbConnStrIn, SQLWCHAR* szConnStrOut,
                                                    SQLSMALLINT cbConnStrOutMax,
                                                    SQLSMALLINT* pcbConnStrOut, SQLUSMALLINT) {
  return Enter<Connection>(
      "SQLDriverConnectW", hdbc, SQL_HANDLE_DBC, [&](Connection& dbc) -> SQLRETURN {
        const std::string text = FromWide(szConnStrIn, cbConnStrIn);
        const SQLRETURN result = Connect(dbc, text);
        if (SQL_SUCCEEDED(result)) {
          PutText<char16_t>(Utf8ToUtf16(text), reinterpret_cast<char16_t*>(szConnStrOut),
                            static_cast<std::size_t>(std::max<SQLSMALLINT>(cbConnStrOutMax, 0)),
                            pcbConnStrOut);
        }
        return result;
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLSetConnectAttrW(SQLHDBC hdbc, SQLINTEGER fAttribute,
                                                     SQLPOINTER rgbValue, SQLINTEGER) {
  return Enter<Connection>(
      "SQLSetConnectAttrW", hdbc, SQL_HANDLE_DBC,
      [&](Connection& dbc) -> SQLRETURN { return SetConnectAttribute(dbc, fAttribute, rgbValue); });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetConnectAttrW(SQLHDBC hdbc, SQLINTEGER fAttribute,
                                                     SQLPOINTER rgbValue, SQLINTEGER cbValueMax,
                                                     SQLINTEGER* pcbValue) {
  return Enter<Connection>(
      "SQLGetConnectAttrW", hdbc, SQL_HANDLE_DBC, [&](Connection& dbc) -> SQLRETURN {
        return GetConnectAttribute(dbc, fAttribute, rgbValue, [&](const std::string& text) {
          SQLINTEGER units = 0;
          const bool whole = PutText<char16_t>(
              Utf8ToUtf16(text), static_cast<char16_t*>(rgbValue),
              static_cast<std::size_t>(std::max<SQLINTEGER>(cbValueMax, 0)) / sizeof(char16_t),
              &units);
          if (pcbValue != nullptr) *pcbValue = units * static_cast<SQLINTEGER>(sizeof(char16_t));
          return whole ? SQL_SUCCESS
                       : Warn(dbc, "01004", "[scripted] string data, right truncated");
        });
      });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLSetStmtAttrW(SQLHSTMT hstmt, SQLINTEGER fAttribute,
                                                  SQLPOINTER rgbValue, SQLINTEGER) {
  return Enter<Statement>(
      "SQLSetStmtAttrW", hstmt, SQL_HANDLE_STMT,
      [&](Statement& stmt) -> SQLRETURN { return SetStmtAttribute(stmt, fAttribute, rgbValue); });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetStmtAttrW(SQLHSTMT hstmt, SQLINTEGER fAttribute,
                                                  SQLPOINTER rgbValue, SQLINTEGER, SQLINTEGER*) {
  return Enter<Statement>(
      "SQLGetStmtAttrW", hstmt, SQL_HANDLE_STMT,
      [&](Statement& stmt) -> SQLRETURN { return GetStmtAttribute(stmt, fAttribute, rgbValue); });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT hstmt, SQLWCHAR* szSqlStr,
                                                 SQLINTEGER cbSqlStr) {
  return Enter<Statement>(
      "SQLExecDirectW", hstmt, SQL_HANDLE_STMT,
      [&](Statement& stmt) -> SQLRETURN { return ExecDirect(stmt, FromWide(szSqlStr, cbSqlStr)); });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLDescribeColW(SQLHSTMT hstmt, SQLUSMALLINT icol,
                                                  SQLWCHAR* szColName, SQLSMALLINT cbColNameMax,
                                                  SQLSMALLINT* pcbColName, SQLSMALLINT* pfSqlType,
                                                  SQLULEN* pcbColDef, SQLSMALLINT* pibScale,
                                                  SQLSMALLINT* pfNullable) {
  return Enter<Statement>("SQLDescribeColW", hstmt, SQL_HANDLE_STMT,
                          [&](Statement& stmt) -> SQLRETURN {
                            return DescribeColumn(stmt, icol, szColName, cbColNameMax, pcbColName,
                                                  pfSqlType, pcbColDef, pibScale, pfNullable);
                          });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLColAttributeW(SQLHSTMT hstmt, SQLUSMALLINT iCol,
                                                   SQLUSMALLINT iField, SQLPOINTER pCharAttr,
                                                   SQLSMALLINT cbCharAttrMax,
                                                   SQLSMALLINT* pcbCharAttr, SQLLEN* pNumAttr) {
  return Enter<Statement>("SQLColAttributeW", hstmt, SQL_HANDLE_STMT,
                          [&](Statement& stmt) -> SQLRETURN {
                            return ColumnAttribute<char16_t>(stmt, iCol, iField, pCharAttr,
                                                             cbCharAttrMax, pcbCharAttr, pNumAttr);
                          });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetInfoW(SQLHDBC hdbc, SQLUSMALLINT fInfoType,
                                              SQLPOINTER rgbInfoValue, SQLSMALLINT cbInfoValueMax,
                                              SQLSMALLINT* pcbInfoValue) {
  return Enter<Connection>("SQLGetInfoW", hdbc, SQL_HANDLE_DBC, [&](Connection& dbc) -> SQLRETURN {
    return GetInfo<char16_t>(dbc, fInfoType, rgbInfoValue, cbInfoValueMax, pcbInfoValue);
  });
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetDiagRecW(SQLSMALLINT fHandleType, SQLHANDLE handle,
                                                 SQLSMALLINT iRecord, SQLWCHAR* szSqlState,
                                                 SQLINTEGER* pfNativeError, SQLWCHAR* szErrorMsg,
                                                 SQLSMALLINT cbErrorMsgMax,
                                                 SQLSMALLINT* pcbErrorMsg) {
  Trace("SQLGetDiagRecW");
  return GetDiagRecord(fHandleType, handle, iRecord, szSqlState, pfNativeError, szErrorMsg,
                       cbErrorMsgMax, pcbErrorMsg);
}

SCRIPTED_EXPORT SQLRETURN SQL_API SQLGetDiagFieldW(SQLSMALLINT fHandleType, SQLHANDLE handle,
                                                   SQLSMALLINT iRecord, SQLSMALLINT fDiagField,
                                                   SQLPOINTER rgbDiagInfo,
                                                   SQLSMALLINT cbDiagInfoMax,
                                                   SQLSMALLINT* pcbDiagInfo) {
  Trace("SQLGetDiagFieldW");
  return GetDiagField<char16_t>(fHandleType, handle, iRecord, fDiagField, rgbDiagInfo,
                                cbDiagInfoMax, pcbDiagInfo);
}

#endif  // SCRIPTED_ODBC_NARROW_ONLY
