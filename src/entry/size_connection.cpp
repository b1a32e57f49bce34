#include "entry/size_connection.h"

#include "sql/statement_template.h"

namespace slotsync::entry {

SizeConnectionSettings::~SizeConnectionSettings() {
  for (std::string& parameter : parameters) platform::WipeString(parameter);
}

std::string_view SizeConnectionSettings::Parameter(std::string_view key) const {
  for (const auto& parameter : parameters) {
    // Keys hold no "=", so the first "=" ends the key; the value may hold any.
    const std::size_t equals = parameter.find('=');
    const std::string_view text = parameter;
    if (equals != std::string::npos && text.substr(0, equals) == key) {
      return text.substr(equals + 1);
    }
  }
  return {};
}

SizeConnectionSettings SizeConnectionSettingsFor(const ConnectionArguments& arguments) {
  SizeConnectionSettings settings;
  // Built in place: a list of temporaries would leave copies of the
  // password behind, and a growing text its old buffers.
  settings.parameters.reserve(4);
  settings.parameters.push_back(sql::Format("DATABASE NAME=%s", arguments.database));
  settings.parameters.push_back(sql::Format("SERVER NAME=%s", arguments.server));
  settings.parameters.push_back(sql::Format("USER NAME=%s", arguments.user));
  constexpr std::string_view kPasswordKey = "PASSWORD=";
  std::string& password = settings.parameters.emplace_back();
  password.reserve(kPasswordKey.size() + arguments.password.View().size());
  password.append(kPasswordKey).append(arguments.password.View());
  return settings;
}

std::unique_ptr<sql::SqlConnection> CreateSizeConnection(const ConnectionArguments& arguments,
                                                         const ClientFactory& makeClient) {
  const SizeConnectionSettings settings = SizeConnectionSettingsFor(arguments);
  return std::make_unique<sql::SqlConnection>(settings.name, makeClient(settings));
}

}  // namespace slotsync::entry
