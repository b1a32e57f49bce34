#include "entry/size_connection.h"

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
  // Built in place, each at its final size: a list of temporaries would
  // leave copies of the password behind, and a growing text its old
  // buffers. Plain appends: the values go in as they are, and this runs on
  // every start of a host.
  settings.parameters.reserve(4);
  const auto add = [&settings](std::string_view key, std::string_view value) {
    std::string& parameter = settings.parameters.emplace_back();
    parameter.reserve(key.size() + value.size());
    parameter.append(key).append(value);
  };
  add("DATABASE NAME=", arguments.database);
  add("SERVER NAME=", arguments.server);
  add("USER NAME=", arguments.user);
  add("PASSWORD=", arguments.password.View());
  return settings;
}

std::unique_ptr<sql::SqlConnection> CreateSizeConnection(const ConnectionArguments& arguments,
                                                         const ClientFactory& makeClient) {
  const SizeConnectionSettings settings = SizeConnectionSettingsFor(arguments);
  return std::make_unique<sql::SqlConnection>(settings.name, makeClient(settings));
}

}  // namespace slotsync::entry
