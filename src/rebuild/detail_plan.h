#pragma once

// What a plan finds in the new detail table before anything is sent:
// value columns without a type or with a clause the template adds itself,
// more columns than a table can have, old columns the new table lacks, and
// values that would not fit; and what the table gains and loses.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "rebuild/detail_template.h"
#include "rebuild/findings.h"
#include "sql/sql_access.h"

namespace slotsync::rebuild {

// `copyColumns`: the old table's columns but the slot columns;
// `oldSlotColumns`: its slot columns with their numbers.
void CheckNewDetailTable(sql::SqlAccess& access, Findings& findings, std::int32_t tableTag,
                         const std::string& tableName, const DetailLayout& layout,
                         const std::vector<std::string>& copyColumns,
                         const std::vector<std::pair<std::string, std::int32_t>>& oldSlotColumns);

}  // namespace slotsync::rebuild
