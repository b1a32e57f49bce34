#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "rebuild/detail_table.h"
#include "rebuild/findings.h"
#include "rebuild/online_detail.h"
#include "sql/sql_access.h"
#include "ui/notice.h"

namespace slotsync::rebuild {

// The two table rebuilders a restructure run dispatches to. Both run on the
// run's connection, inside its transaction, and raise on failure.
class Rebuilders {
 public:
  virtual ~Rebuilders() = default;
  // Set: the rebuilds plan into these findings instead of stopping at the
  // first problem (the connection records their writes meanwhile).
  void PlanInto(Findings* findings) { findings_ = findings; }
  // Told the rows each detail table holds, counted under its table lock.
  void ReportRowsTo(RowsCounted rowsCounted) { rowsCounted_ = std::move(rowsCounted); }
  // Told, per table, what its rebuild carried over and what it lost.
  void ReportCarriedTo(DependentsCarried carried) { carried_ = std::move(carried); }
  // Told the rows each detail table's copy carried over, by its own count.
  void ReportCopiedTo(RowsCounted rowsCopied) { rowsCopied_ = std::move(rowsCopied); }
  // Set: detail tables are rebuilt online, in the phase the run sets there.
  void GoOnline(OnlineRebuild* online) { online_ = online; }
  // False when it did nothing or stopped at the size-decrease notice.
  virtual bool RebuildDetailTable(std::int32_t tableTag) = 0;
  virtual void RebuildTerminalTables(std::int32_t tableTag) = 0;

 protected:
  Findings* findings_ = nullptr;
  RowsCounted rowsCounted_;
  DependentsCarried carried_;
  RowsCounted rowsCopied_;
  OnlineRebuild* online_ = nullptr;
};

std::unique_ptr<Rebuilders> MakeRebuilders(sql::SqlAccess& access, ui::NoticeBox& notices);

}  // namespace slotsync::rebuild
