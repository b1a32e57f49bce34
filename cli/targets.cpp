#include "targets.h"

#include <fstream>
#include <istream>
#include <set>

#include "say.h"
#include "summary.h"

namespace slotsync::cli {
namespace {

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

void RefuseDuplicates(const std::vector<Target>& targets) {
  std::set<std::pair<std::string, std::string>> seen;
  for (const Target& target : targets) {
    if (!seen.emplace(target.server, target.database).second) {
      throw UsageError{SayFormat(
          "the database %s on %s is named twice; two runs of one database would only wait for "
          "each other",
          ShownOnOneLine(target.database), ShownOnOneLine(target.server))};
    }
  }
}

}  // namespace

void TakeTargets(CommandLine& line) {
  const int ways =
      (line.database.empty() ? 0 : 1) + (line.databasesFile ? 1 : 0) + (line.allDatabases ? 1 : 0);
  if (line.server.empty() && !line.databasesFile && !line.dataSource) {
    throw UsageError{SayFormat("%s is required", "--server")};
  }
  if (ways == 0) throw UsageError{SayFormat("%s is required", "--database")};
  if (ways > 1) {
    throw UsageError{Say("--database, --databases and --all-databases exclude each other")};
  }
  if (!line.database.empty()) {
    line.databases = SplitDatabaseList(line.database);
    if (line.databases.size() == 1) line.database = line.databases.front();
    for (const std::string& name : line.databases) {
      if (name.empty()) {
        throw UsageError{SayFormat("--database: an empty name in %s", line.database)};
      }
    }
  }
  if (line.databasesFile && line.databasesFile->empty()) {
    throw UsageError{Say("--databases needs a file name")};
  }
  if (NamesSeveralDatabases(line) && line.trace) {
    throw UsageError{Say("--trace shows one database's statements: run that database alone")};
  }
}

bool NamesSeveralDatabases(const CommandLine& line) {
  return line.allDatabases || line.databasesFile || line.databases.size() > 1;
}

std::vector<std::string> SplitDatabaseList(const std::string& list) {
  std::vector<std::string> names(1);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] != ',') {
      names.back() += list[i];
    } else if (i + 1 < list.size() && list[i + 1] == ',') {
      names.back() += ',';
      ++i;
    } else {
      names.emplace_back();
    }
  }
  return names;
}

std::string DatabaseListItem(const std::string& name) {
  std::string item;
  for (const char c : name) item += c == ',' ? std::string(",,") : std::string(1, c);
  return item;
}

std::vector<Target> ReadTargets(std::istream& file, const std::string& server) {
  std::vector<Target> targets;
  std::string text;
  for (int number = 1; std::getline(file, text); ++number) {
    if (const auto hash = text.find('#'); hash != std::string::npos) text.erase(hash);
    text = Trimmed(text);
    if (text.empty()) continue;
    const auto blank = text.find_first_of(" \t");
    if (blank == std::string::npos) {
      if (server.empty()) {
        throw UsageError{
            SayFormat("--databases line %d: %s names no server, and --server is not given", number,
                      ShownOnOneLine(text))};
      }
      targets.push_back({server, text});
      continue;
    }
    const std::string database = Trimmed(text.substr(blank));
    if (database.find_first_of(" \t") != std::string::npos) {
      throw UsageError{SayFormat("--databases line %d holds more than a server and a database: %s",
                                 number, ShownOnOneLine(text))};
    }
    targets.push_back({text.substr(0, blank), database});
  }
  return targets;
}

std::string ServerNamed(const CommandLine& line) {
  return line.server.empty() && line.dataSource ? "DSN=" + *line.dataSource : line.server;
}

std::vector<Target> NamedTargets(const CommandLine& line) {
  std::vector<Target> targets;
  if (line.databasesFile) {
    std::ifstream file(*line.databasesFile);
    if (!file) throw UsageError{SayFormat("--databases: %s cannot be read", *line.databasesFile)};
    targets = ReadTargets(file, ServerNamed(line));
    if (targets.empty()) {
      throw UsageError{SayFormat("--databases: %s names none", *line.databasesFile)};
    }
  } else {
    for (const std::string& name : line.databases) targets.push_back({ServerNamed(line), name});
  }
  RefuseDuplicates(targets);
  return targets;
}

}  // namespace slotsync::cli
