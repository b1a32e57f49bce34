#include "entry/session_settings.h"

namespace slotsync::entry {

void ApplyWriteSettings(sql::SqlAccess& access) {
  sql::SqlQuery query(access, sql::kSizeConnectionName);
  query.SetText(std::string(kWriteSettingsSql));
  query.Execute();
}

}  // namespace slotsync::entry
