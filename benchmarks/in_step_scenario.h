#pragma once

// The three statements of the in-step call, and a scenario of the scripted
// ODBC driver that answers them as a database in step would (N = 12, and
// StockDetailTemp with 12 slot columns).

#include <string>

#include "scenario.h"

namespace slotsync {

inline const char* const kInStepStatements[] = {
    "Select top 1 * From Size",
    "Select Count(*),b.SizeGroupID From SizeGroup a,SizeGroupSize b Where "
    "a.SizeGroupID=b.SizeGroupID Group by b.SizeGroupID",
    "Select Count(*) from sysColumns Where ID=Object_ID('StockDetailTemp') and Name like 'x_%%'",
};

inline void SaveInStepScenario(const std::string& path) {
  scripted_odbc::ScenarioWriter()
      .Rows(kInStepStatements[0], {"SizeID"}, {{"1"}})
      .Rows(kInStepStatements[1], {"", "SizeGroupID"}, {{"8", "1"}, {"12", "2"}, {"12", "3"}})
      .Rows(kInStepStatements[2], {""}, {{"12"}})
      .Save(path);
}

}  // namespace slotsync
