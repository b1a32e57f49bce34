#pragma once

// The steps of an online run (--online) that stand beside the walk: finding
// and removing what a killed online run left behind, removing this run's own
// new tables and captures when it does not commit, and the pause between
// cut-over rounds.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "entry/restructure_run.h"
#include "rebuild/findings.h"
#include "rebuild/online_detail.h"
#include "rebuild/rebuilders.h"
#include "sql/sql_access.h"

namespace slotsync::entry {

// The tables in dbo whose capture (and dbo.Tmp_ table) an online run left.
std::vector<std::string> FindLeftovers(sql::SqlAccess& access);

// Removes every leftover, the capture before its table, each table in a
// short transaction of its own; says so in the report's message, as a
// warning: someone should know that a run was killed.
void RemoveLeftovers(sql::SqlAccess& access, RunReport& report);

// What a plan says of an online run, as notes: the leftovers it would
// remove first, and per detail table the copy made while the shop works and
// what its cut-over holds, for how long at most it makes a till wait.
void PlanOnline(sql::SqlAccess& access, const OnlineSettings& settings,
                rebuild::Findings& findings);

// Removes what this run made; empty when everything went, else per table
// what stays and how it goes.
std::vector<std::string> RemovePrepared(sql::SqlAccess& access,
                                        const rebuild::OnlineRebuild& online);

// The online run's part of a run, once the checks before it have passed:
// every flagged detail table among the rows of `flagged` is prepared by
// `rebuilders` outside any long transaction; then `cutOver` (the run's walk
// in one transaction, with the prepared tables) is tried, and tried again
// after a lock-out while the captures keep the new tables current. Unless
// it commits, everything the online run made is removed.
void RunOnline(sql::SqlAccess& access, sql::SqlQuery& flagged, rebuild::Rebuilders& rebuilders,
               const OnlineSettings& settings, RunReport& report,
               const std::function<void(rebuild::OnlineRebuild* online)>& cutOver);

// What an online run could not remove on its way out (its link lost, a till
// holding the table past every wait) gets one more try: `cleanUp` runs as
// --online --clean-up does, on a connection of its own and under the
// database lock. Not after the run was stopped from outside: its user asked
// it to end, and the warning says how the rest goes.
void RemoveWhatStaysOnANewConnection(RunReport& report, const std::function<RunReport()>& cleanUp);

// Before cut-over round `round` + 2: 2, 4, 8... seconds.
void PauseBeforeRound(const OnlineSettings& settings, std::int32_t round);

}  // namespace slotsync::entry
