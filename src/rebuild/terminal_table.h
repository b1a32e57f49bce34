#pragma once

// The per-terminal rebuild: a work table whose every row belongs to one
// terminal (its TerminalName column) is dropped and created again, empty,
// with as many size slots as the size groups need now. Its rows are working
// data of the terminals and are not carried over.

#include <cstdint>

#include "rebuild/detail_table.h"
#include "rebuild/findings.h"
#include "sql/sql_access.h"

namespace slotsync::rebuild {

// Recreates the per-terminal table of `tableTag` and clears the Modified flag
// of its S_Modify row. Runs on the run's connection, inside the run's
// transaction. Only the failure of the drop is ignored (the table may not
// exist yet); any other failure, and a dictionary text that
// dictionary_guard.h refuses, ends the rebuild and propagates, with the flag
// left set. A refused text stops it before the first statement that changes
// anything. With `findings` it plans instead, as RebuildDetailTable does.
// Its indexes and permissions, and whatever else the table held, are carried
// over to the new table as the detail rebuild carries them.
void RebuildTerminalTables(sql::SqlAccess& access, std::int32_t tableTag,
                           Findings* findings = nullptr,
                           const DependentsCarried& carried = nullptr);

}  // namespace slotsync::rebuild
