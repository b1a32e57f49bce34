#pragma once

// Each flagged table's status once a run has ended, from what the walk did
// to it and how the run ended.

#include "entry/restructure_run.h"

namespace slotsync::entry {

// Adds the tables the walk did not reach, as the check before it found
// them, and settles every table's status, rows lost and what it carried:
// work is "rebuilt" only once committed, rows are lost only then, and what
// a broken commit leaves cannot be told.
void SettleTables(RunReport& report);

}  // namespace slotsync::entry
