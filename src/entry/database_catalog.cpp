#include "entry/database_catalog.h"

#include <algorithm>

#include "text/case_fold.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

// The major version of "11.0.2100.60".
int MajorVersion(const std::string& version) {
  int major = 0;
  for (const char c : version) {
    if (c < '0' || c > '9') break;
    major = major * 10 + (c - '0');
  }
  return major;
}

// Marks the secondary replicas. Their databases accept no write; those that
// allow reads are read-only already, the others only this read tells apart.
void MarkSecondaryReplicas(sql::SqlAccess& access, std::vector<DatabaseOnServer>& databases) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(std::string(kSecondaryReplicasSql));
  try {
    query.Open();
  } catch (const sql::SqlError&) {
    return;  // no VIEW SERVER STATE: the replicas that allow reads are still read-only
  }
  for (; !query.End(); query.Next()) {
    const std::string name = query.Field(0).AsString();
    for (DatabaseOnServer& database : databases) {
      if (database.name == name) database.secondary = true;
    }
  }
}

}  // namespace

std::string DatabaseOnServer::WhyLeftOut() const {
  // TRANSLATORS: %s is the database's state as the server names it (RESTORING, OFFLINE...)
  if (!Online()) return text::TrFormat("not online (%s)", state);
  if (secondary) {
    return text::Tr("a secondary replica of an availability group; run on the primary replica");
  }
  if (standby) return text::Tr("in standby between log restores, so read-only");
  if (readOnly) return text::Tr("read-only");
  if (singleUser) {
    return text::Tr("in single-user mode: a run would take the one connection it allows");
  }
  if (!accessible) return text::Tr("the login may not open it");
  if (missing.empty()) return {};
  // A Chinese list is separated by the enumeration comma.
  const char* const separator =
      text::MessageLanguage() == text::Language::kChinese ? "\xA1\xA2" : ", ";
  std::string tables;
  for (std::size_t i = 0; i < missing.size(); ++i) tables += (i == 0 ? "" : separator) + missing[i];
  // TRANSLATORS: %s lists the dictionary tables the database lacks ("S_Modify, SizeGroup").
  return text::TrFormat("no %s", tables);
}

DatabasesOnServer ReadDatabasesOnServer(const ConnectionArguments& arguments,
                                        const ClientFactory& makeClient) {
  const ConnectionArguments master{arguments.server, std::string(kCatalogDatabase), arguments.user,
                                   platform::SecretString(arguments.password.View())};
  const std::unique_ptr<sql::SqlConnection> connection = CreateSizeConnection(master, makeClient);
  sql::SqlAccess access;
  access.Add(*connection);
  DatabasesOnServer server;
  int major = 0;
  {
    sql::SqlQuery query(access, sql::kSizeConnectionName);
    query.SetText(std::string(kApplicationDatabasesSql));
    query.Open();
    for (; !query.End(); query.Next()) {
      DatabaseOnServer database;
      database.name = query.FieldByName("name").AsString();
      database.state = query.FieldByName("state_desc").AsString();
      database.accessible = query.FieldByName("Accessible").AsString() == "1";
      database.readOnly =
          text::EqualsIgnoringAsciiCase(query.FieldByName("Updateability").AsString(), "READ_ONLY");
      database.standby = query.FieldByName("Standby").AsString() == "1";
      database.singleUser = query.FieldByName("user_access_desc").AsString() == "SINGLE_USER";
      server.azureSqlDatabase = query.FieldByName("EngineEdition").AsString() == "5";
      major = MajorVersion(query.FieldByName("ProductVersion").AsString());
      if (database.Online() && database.accessible) {
        for (const char* table : {"S_Modify", "StockDetailTemp", "SizeGroup"}) {
          if (query.FieldByName(table).IsNull()) database.missing.emplace_back(table);
        }
      }
      server.databases.push_back(std::move(database));
    }
  }
  // Availability groups came with SQL Server 2012 (11).
  if (major >= 11 && !server.azureSqlDatabase) MarkSecondaryReplicas(access, server.databases);
  connection->Disconnect();
  access.Remove(*connection);
  return server;
}

}  // namespace slotsync::entry
