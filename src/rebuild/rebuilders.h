#pragma once

#include <cstdint>
#include <memory>

#include "sql/sql_access.h"
#include "ui/notice.h"

namespace slotsync::rebuild {

// The two table rebuilders a restructure run dispatches to. Both run on the
// run's connection, inside its transaction, and raise on failure.
class Rebuilders {
 public:
  virtual ~Rebuilders() = default;
  // False when it did nothing or stopped at the size-decrease notice.
  virtual bool RebuildDetailTable(std::int32_t tableTag) = 0;
  virtual void RebuildTerminalTables(std::int32_t tableTag) = 0;
};

std::unique_ptr<Rebuilders> MakeRebuilders(sql::SqlAccess& access, ui::NoticeBox& notices);

}  // namespace slotsync::rebuild
