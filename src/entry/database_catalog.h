#pragma once

// Which databases on a server hold this application: one catalog read, on a
// connection to master, for the command's --all-databases.

#include <string>
#include <string_view>
#include <vector>

#include "entry/size_connection.h"

namespace slotsync::entry {

// What the server says of one of its databases (the system databases left out).
struct DatabaseOnServer {
  std::string name;  // GBK
  bool online = false;
  bool accessible = false;  // the login may open it
  // Missing tables of the dictionary: S_Modify, StockDetailTemp, SizeGroup.
  std::vector<std::string> missing;

  bool Chosen() const { return online && accessible && missing.empty(); }
  // Why it is left out ("offline", "the login may not open it", "no
  // S_Modify, SizeGroup"); empty when chosen.
  std::string WhyLeftOut() const;
};

// Each database once, by name: its state, the login's access, and the three
// tables every database of this application has. The names are joined to
// the object names by QuoteName on the server, so no name is ever quoted here.
inline constexpr std::string_view kApplicationDatabasesSql =
    "Select name,state_desc,HAS_DBACCESS(name) As Accessible,"
    "Case When state=0 And HAS_DBACCESS(name)=1 Then "
    "Object_ID(QuoteName(name)+'.dbo.S_Modify') End As S_Modify,"
    "Case When state=0 And HAS_DBACCESS(name)=1 Then "
    "Object_ID(QuoteName(name)+'.dbo.StockDetailTemp') End As StockDetailTemp,"
    "Case When state=0 And HAS_DBACCESS(name)=1 Then "
    "Object_ID(QuoteName(name)+'.dbo.SizeGroup') End As SizeGroup "
    "From sys.databases Where database_id>4 Order by name";

// The database every login may open, where the catalog read is made.
inline constexpr std::string_view kCatalogDatabase = "master";

// Connects to master with the arguments' server, user and password (their
// database is not used) and reads the databases. Throws sql::SqlError.
std::vector<DatabaseOnServer> ReadDatabasesOnServer(const ConnectionArguments& arguments,
                                                    const ClientFactory& makeClient);

}  // namespace slotsync::entry
