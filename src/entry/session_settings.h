#pragma once

// The session settings a run and a script write under.
//
// Filtered indexes, indexed views and computed columns need ANSI_NULLS,
// ANSI_PADDING, ANSI_WARNINGS, ARITHABORT, CONCAT_NULL_YIELDS_NULL and
// QUOTED_IDENTIFIER on and NUMERIC_ROUNDABORT off, or the statements that
// touch them fail; and a trigger takes ANSI_NULLS and QUOTED_IDENTIFIER from
// the session that creates it. Drivers and clients differ (sqlcmd without -I
// runs with QUOTED_IDENTIFIER off, and a trigger it re-created would later
// fail the tills' sales with error 1934), so the run and the script say
// them before their first write instead of trusting a default.

#include <string_view>

#include "sql/sql_access.h"

namespace slotsync::entry {

inline constexpr std::string_view kWriteSettingsSql =
    "SET ANSI_NULLS ON;SET ANSI_PADDING ON;SET ANSI_WARNINGS ON;SET ARITHABORT ON;"
    "SET CONCAT_NULL_YIELDS_NULL ON;SET QUOTED_IDENTIFIER ON;SET NUMERIC_ROUNDABORT OFF";

void ApplyWriteSettings(sql::SqlAccess& access);

}  // namespace slotsync::entry
