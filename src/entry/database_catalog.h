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
  std::string name;         // GBK
  std::string state;        // sys.databases.state_desc: ONLINE, OFFLINE, RESTORING...
  bool accessible = false;  // the login may open it
  // A run could not write there, or would shut everyone else out: a
  // read-only database, one in standby between log restores, a secondary
  // replica of an availability group, one in single-user mode.
  bool readOnly = false, standby = false, secondary = false, singleUser = false;
  // Missing tables of the dictionary: S_Modify, StockDetailTemp, SizeGroup.
  std::vector<std::string> missing;

  bool Online() const { return state == "ONLINE"; }
  bool Chosen() const { return WhyLeftOut().empty(); }
  // Why it is left out ("not online (RESTORING)", "read-only", "the login
  // may not open it", "no S_Modify, SizeGroup"); empty when chosen.
  std::string WhyLeftOut() const;
};

// What the catalog read says of the server and its databases.
struct DatabasesOnServer {
  // Azure SQL Database: a connection reaches one database, and the read in
  // master cannot look into the others.
  bool azureSqlDatabase = false;
  std::vector<DatabaseOnServer> databases;
};

// Each database once, by name: its state, the login's access, and the three
// tables every database of this application has. The names are joined to
// the object names by QuoteName on the server, so no name is ever quoted here.
inline constexpr std::string_view kApplicationDatabasesSql =
    "Select name,state_desc,HAS_DBACCESS(name) As Accessible,"
    "Convert(NVarchar(20),DATABASEPROPERTYEX(name,'Updateability')) As Updateability,"
    "Convert(Int,is_in_standby) As Standby,user_access_desc,"
    "Convert(Int,SERVERPROPERTY('EngineEdition')) As EngineEdition,"
    "Convert(NVarchar(40),SERVERPROPERTY('ProductVersion')) As ProductVersion,"
    "Case When state=0 And HAS_DBACCESS(name)=1 Then "
    "Object_ID(QuoteName(name)+'.dbo.S_Modify') End As S_Modify,"
    "Case When state=0 And HAS_DBACCESS(name)=1 Then "
    "Object_ID(QuoteName(name)+'.dbo.StockDetailTemp') End As StockDetailTemp,"
    "Case When state=0 And HAS_DBACCESS(name)=1 Then "
    "Object_ID(QuoteName(name)+'.dbo.SizeGroup') End As SizeGroup "
    "From sys.databases Where database_id>4 Order by name";

// The databases of this server that are secondary replicas of an
// availability group (SQL Server 2012 and later; the read needs VIEW SERVER
// STATE, and where it fails the replicas that allow reads are still known
// by their Updateability).
inline constexpr std::string_view kSecondaryReplicasSql =
    "Select d.name From sys.databases d Join sys.dm_hadr_availability_replica_states r On "
    "r.replica_id=d.replica_id Where r.is_local=1 And r.role=2";

// The database every login may open, where the catalog read is made.
inline constexpr std::string_view kCatalogDatabase = "master";

// Connects to master with the arguments' server, user and password (their
// database is not used) and reads the databases. Throws sql::SqlError.
DatabasesOnServer ReadDatabasesOnServer(const ConnectionArguments& arguments,
                                        const ClientFactory& makeClient);

}  // namespace slotsync::entry
