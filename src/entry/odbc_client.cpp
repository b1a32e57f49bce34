#include <stdexcept>

#include "entry/public_api.h"

namespace slotsync::entry {

// Replaced by the ODBC client as soon as it lands; until then a real run
// fails before its transaction with this message.
ClientFactory OdbcClientFactory() {
  return [](const SizeConnectionSettings&) -> std::unique_ptr<sql::Connection> {
    throw std::runtime_error("the ODBC client is not available in this build");
  };
}

}  // namespace slotsync::entry
