#pragma once

// The databases one command works on: one (-d DB, as always), several
// (-d a,b), a file of targets (--databases FILE) or every database of this
// application on the server (--all-databases).

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "options.h"

namespace slotsync::cli {

struct Target {
  std::string server;    // as typed, in the terminal's encoding
  std::string database;  // likewise
};

// Throws UsageError unless the command line names its databases one way,
// and a server for them where one is needed. Splits -d's list into
// `databases`; a single name is left in `database` without doubled commas.
void TakeTargets(CommandLine& line);

// More than one database, or a way of naming them that may give more.
bool NamesSeveralDatabases(const CommandLine& line);

// "a,b,c" as its names; a comma inside a name is written twice ("a,,b").
std::vector<std::string> SplitDatabaseList(const std::string& list);
// One name as -d takes it: its commas doubled.
std::string DatabaseListItem(const std::string& name);

// One target per line, "database" or "server database", blanks around and
// "#" comments ignored; a line without a server takes `server`. Throws
// UsageError naming the line of a mistake.
std::vector<Target> ReadTargets(std::istream& file, const std::string& server);

// The server as the fleet names it in its lines and its JSON: the one
// given, or the data source that names it ("DSN=Shop").
std::string ServerNamed(const CommandLine& line);

// The targets the command line names, without --all-databases (whose list
// comes from the server). Throws UsageError.
std::vector<Target> NamedTargets(const CommandLine& line);

}  // namespace slotsync::cli
