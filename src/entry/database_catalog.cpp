#include "entry/database_catalog.h"

#include "text/messages.h"

namespace slotsync::entry {

std::string DatabaseOnServer::WhyLeftOut() const {
  if (!online) return text::Tr("not online");
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

std::vector<DatabaseOnServer> ReadDatabasesOnServer(const ConnectionArguments& arguments,
                                                    const ClientFactory& makeClient) {
  const ConnectionArguments master{arguments.server, std::string(kCatalogDatabase), arguments.user,
                                   platform::SecretString(arguments.password.View())};
  const std::unique_ptr<sql::SqlConnection> connection = CreateSizeConnection(master, makeClient);
  sql::SqlAccess access;
  access.Add(*connection);
  std::vector<DatabaseOnServer> databases;
  {
    sql::SqlQuery query(access, sql::kSizeConnectionName);
    query.SetText(std::string(kApplicationDatabasesSql));
    query.Open();
    for (; !query.End(); query.Next()) {
      DatabaseOnServer database;
      database.name = query.FieldByName("name").AsString();
      database.online = query.FieldByName("state_desc").AsString() == "ONLINE";
      database.accessible = query.FieldByName("Accessible").AsString() == "1";
      if (database.online && database.accessible) {
        for (const char* table : {"S_Modify", "StockDetailTemp", "SizeGroup"}) {
          if (query.FieldByName(table).IsNull()) database.missing.emplace_back(table);
        }
      }
      databases.push_back(std::move(database));
    }
  }
  connection->Disconnect();
  access.Remove(*connection);
  return databases;
}

}  // namespace slotsync::entry
