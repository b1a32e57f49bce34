#pragma once

// What the end-to-end tests share: running the built programs with a chosen
// environment, the scripted driver's log, and scenario files made by
// recording a run over the in-memory scripted connection, so that the
// statements the real ODBC layer sends can be compared with the ones the
// unit-tested path sends.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"
#include "sql/connection.h"

namespace slotsync::e2e {

// The programs and libraries under test, as the build made them.
struct Built {
  static std::string Command();        // the slotsync command
  static std::string Library();        // libslotsync.so
  static std::string Host();           // e2e_host
  static std::string Driver();         // the scripted driver, wide and narrow entry points
  static std::string NarrowDriver();   // the scripted driver, narrow entry points only
  static std::string LiveSql();        // the query tool of the live suite
  static std::string PascalExample();  // bindings/pascal/example.pas; empty when not built
  static bool Sanitized();             // built with AddressSanitizer
};

// Variables to set (a value) or to remove (nullopt) for a child process; the
// rest of the environment is passed on as it is.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

struct ProgramRun {
  int exitCode = -1;  // the exit status, or 128 + the signal that ended it
  std::string out;
  std::string err;
};

// Runs a program to its end with `input` as its standard input.
ProgramRun RunProgram(const std::vector<std::string>& args, const EnvironmentChanges& changes,
                      const std::string& input = "");

std::vector<std::string> Lines(const std::string& text);
std::string ReadText(const std::filesystem::path& path);
// The driver's log, one event a line, its escapes undone; empty when absent.
std::vector<std::string> ReadDriverLog(const std::filesystem::path& path);

// A directory of its own for each test, removed afterwards.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Wraps a client and writes every statement it answers, with its answer, to
// a scenario: replayed by the scripted driver, the same run gets the same
// answers through ODBC. Texts go from GBK to the scenario's UTF-8.
std::unique_ptr<sql::Connection> Recording(std::unique_ptr<sql::Connection> client,
                                           scripted_odbc::ScenarioWriter& writer);

// What the scripted driver logs for a run whose in-memory log (scripted
// connection and fakes) is `scriptLog`: the statements in UTF-8, a started
// transaction as its isolation level and autocommit off, the end of one
// followed by autocommit on, and the disconnect that releasing a still
// connected client makes. The fakes' own entries are left out.
std::vector<std::string> DriverLogOf(const std::vector<std::string>& scriptLog);

// Only the EXEC lines of a driver log, without "EXEC ".
std::vector<std::string> Statements(const std::vector<std::string>& driverLog);

}  // namespace slotsync::e2e
