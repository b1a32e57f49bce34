#pragma once

#include <cstdint>

#include "sql/sql_access.h"

namespace slotsync::dictionary {

// N: the largest number of sizes in any one size group, 0 when no group has
// a size. Runs on the run's connection, inside whatever transaction it holds.
std::int32_t GetSizeSlotCount(sql::SqlAccess& access);

}  // namespace slotsync::dictionary
