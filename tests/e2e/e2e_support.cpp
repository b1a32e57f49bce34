#include "e2e_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "sql/sql_error.h"
#include "text/gbk.h"

extern char** environ;

namespace slotsync::e2e {

namespace fs = std::filesystem;

std::string Built::Command() {
  return SLOTSYNC_E2E_COMMAND;
}
std::string Built::Library() {
  return SLOTSYNC_E2E_LIBRARY;
}
std::string Built::Host() {
  return SLOTSYNC_E2E_HOST;
}
std::string Built::Driver() {
  return SLOTSYNC_E2E_DRIVER;
}
std::string Built::NarrowDriver() {
  return SLOTSYNC_E2E_NARROW_DRIVER;
}
std::string Built::LiveSql() {
  return SLOTSYNC_E2E_LIVE_SQL;
}
std::string Built::PascalExample() {
  return SLOTSYNC_E2E_PASCAL_EXAMPLE;
}
bool Built::Sanitized() {
  return SLOTSYNC_E2E_SANITIZED != 0;
}

ProgramRun RunProgram(const std::vector<std::string>& args, const EnvironmentChanges& changes,
                      const std::string& input) {
  ScratchDirectory files;
  const fs::path in = files.Path() / "stdin";
  const fs::path out = files.Path() / "stdout";
  const fs::path err = files.Path() / "stderr";
  std::ofstream(in, std::ios::binary) << input;

  std::map<std::string, std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) environment[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      environment[name] = *value;
    } else {
      environment.erase(name);
    }
  }
  std::vector<std::string> envTexts;
  for (const auto& [name, value] : environment) envTexts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : envTexts) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> argTexts = args;
  std::vector<char*> argv;
  for (auto& text : argTexts) argv.push_back(text.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(spawned));
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid: " + std::string(std::strerror(errno)));
  }
  ProgramRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadText(out);
  run.err = ReadText(err);
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> ReadDriverLog(const fs::path& path) {
  std::vector<std::string> lines;
  for (const std::string& line : Lines(ReadText(path))) {
    lines.push_back(scripted_odbc::Unescape(line));
  }
  return lines;
}

ScratchDirectory::ScratchDirectory() {
  std::random_device random;
  path_ = fs::temp_directory_path() /
          ("slotsync-e2e-" + std::to_string(random()) + "-" + std::to_string(random()));
  fs::create_directories(path_);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

namespace {

class RecordingConnection final : public sql::Connection {
 public:
  RecordingConnection(std::unique_ptr<sql::Connection> client,
                      scripted_odbc::ScenarioWriter& writer)
      : client_(std::move(client)), writer_(writer) {}

  void Connect() override { client_->Connect(); }
  bool IsConnected() const override { return client_->IsConnected(); }
  void Disconnect() override { client_->Disconnect(); }

  sql::ResultSet Query(const std::string& statement) override {
    try {
      sql::ResultSet result = client_->Query(statement);
      std::vector<std::string> columns;
      for (const auto& name : result.columns) columns.push_back(text::GbkToUtf8(name));
      std::vector<std::vector<scripted_odbc::Cell>> rows;
      for (const auto& row : result.rows) {
        rows.emplace_back();
        for (const auto& value : row) {
          rows.back().push_back(value ? scripted_odbc::Cell(text::GbkToUtf8(*value))
                                      : std::nullopt);
        }
      }
      writer_.Rows(text::GbkToUtf8(statement), columns, rows);
      RecordWarnings();
      return result;
    } catch (const sql::SqlError& e) {
      RecordFailure(statement, e);
      throw;
    }
  }

  void Execute(const std::string& statement) override {
    try {
      client_->Execute(statement);
      writer_.Done(text::GbkToUtf8(statement));
      RecordWarnings();
    } catch (const sql::SqlError& e) {
      RecordFailure(statement, e);
      throw;
    }
  }

  void StartTransaction() override { client_->StartTransaction(); }
  void Commit() override { client_->Commit(); }
  void Rollback() override { client_->Rollback(); }

 private:
  void RecordFailure(const std::string& statement, const sql::SqlError& e) {
    const std::string state = e.SqlState();
    const long native = e.Diagnostics().empty() ? 0 : e.Diagnostics().front().nativeError;
    writer_.Fail(text::GbkToUtf8(statement), state.empty() ? "42000" : state,
                 text::GbkToUtf8(e.what()), native);
  }

  // The warnings the statement succeeded with come back through the driver
  // as information, and stay to be taken by the caller.
  void RecordWarnings() {
    warnings_ = client_->TakeWarnings();
    for (const sql::Diagnostic& w : warnings_) {
      writer_.Info(w.sqlState, w.nativeError, text::GbkToUtf8(w.message));
    }
  }

 public:
  std::vector<sql::Diagnostic> TakeWarnings() override { return std::exchange(warnings_, {}); }

 private:
  std::vector<sql::Diagnostic> warnings_;

  std::unique_ptr<sql::Connection> client_;
  scripted_odbc::ScenarioWriter& writer_;
};

}  // namespace

std::unique_ptr<sql::Connection> Recording(std::unique_ptr<sql::Connection> client,
                                           scripted_odbc::ScenarioWriter& writer) {
  return std::make_unique<RecordingConnection>(std::move(client), writer);
}

std::vector<std::string> DriverLogOf(const std::vector<std::string>& scriptLog) {
  std::vector<std::string> log;
  bool connected = false;
  for (const std::string& entry : scriptLog) {
    if (entry == "CONNECT") {
      log.push_back(entry);
      connected = true;
    } else if (entry.starts_with("OPEN ") || entry.starts_with("EXEC ")) {
      log.push_back("EXEC " + text::GbkToUtf8(entry.substr(5)));
    } else if (entry == "START TRANSACTION") {
      log.push_back("SET ISOLATION READ COMMITTED");
      log.push_back("SET AUTOCOMMIT OFF");
    } else if (entry == "COMMIT" || entry == "ROLLBACK") {
      log.push_back(entry);
      log.push_back("SET AUTOCOMMIT ON");
    } else if (entry == "DISCONNECT") {
      log.push_back(entry);
      connected = false;
    } else if (entry == "RELEASE" && connected) {
      // The client closes a link that is still open when it is released.
      log.push_back("DISCONNECT");
      connected = false;
    }
  }
  return log;
}

std::vector<std::string> Statements(const std::vector<std::string>& driverLog) {
  std::vector<std::string> statements;
  for (const std::string& line : driverLog) {
    if (line.starts_with("EXEC ")) statements.push_back(line.substr(5));
  }
  return statements;
}

}  // namespace slotsync::e2e
