#include "entry/size_connection.h"

#include "sql/statement_template.h"

namespace slotsync::entry {

std::string SizeConnectionSettings::Parameter(std::string_view key) const {
  for (const auto& parameter : parameters) {
    // Keys hold no "=", so the first "=" ends the key; the value may hold any.
    const std::size_t equals = parameter.find('=');
    if (equals != std::string::npos && std::string_view(parameter).substr(0, equals) == key) {
      return parameter.substr(equals + 1);
    }
  }
  return {};
}

SizeConnectionSettings SizeConnectionSettingsFor(const ConnectionArguments& arguments) {
  SizeConnectionSettings settings;
  settings.parameters = {
      sql::Format("DATABASE NAME=%s", arguments.database),
      sql::Format("SERVER NAME=%s", arguments.server),
      sql::Format("USER NAME=%s", arguments.user),
      sql::Format("PASSWORD=%s", arguments.password),
  };
  return settings;
}

std::unique_ptr<sql::SqlConnection> CreateSizeConnection(const ConnectionArguments& arguments,
                                                         const ClientFactory& makeClient) {
  const SizeConnectionSettings settings = SizeConnectionSettingsFor(arguments);
  return std::make_unique<sql::SqlConnection>(settings.name, makeClient(settings));
}

}  // namespace slotsync::entry
