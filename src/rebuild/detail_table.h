#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>

#include "rebuild/findings.h"
#include "rebuild/online_detail.h"
#include "rebuild/table_dependents.h"
#include "sql/sql_access.h"
#include "text/messages.h"
#include "ui/notice.h"

namespace slotsync::rebuild {

// Rebuilds one detail table with N slot columns and keeps its rows: the new
// table is built as dbo.Tmp_<name>, filled from the old one, which is then
// dropped and replaced; the companions <name>_U, _I and _D are recreated
// empty. Runs inside the run's transaction and raises on failure.
//
// Returns false when it did nothing (TableTags 27 and 35) or stopped at the
// size-decrease notice, true when it ran to its end.
// With `findings` the rebuild plans instead (the connection records its
// writes): problems are recorded there and passed over, no notice is shown,
// and what the rebuild would do to the table is noted.
// `rowsCounted`, when set, is told the old table's row count as soon as it
// is taken under the table lock: the rows the copy has to carry over;
// `rowsCopied` the work copy's own count once the copy is done, before it
// is compared with the first.
using RowsCounted = std::function<void(std::int64_t rows)>;
// `carried`, when set, is told what the rebuild carried over to the new
// tables and what it lost by design, once it has sent the statements.
// `online`, when set, rebuilds in its phase: preparing builds dbo.Tmp_<name>,
// starts the capture, copies and builds the carried indexes, outside the
// run's transaction; the cut-over, inside it, switches the prepared table.
bool RebuildDetailTable(sql::SqlAccess& access, ui::NoticeBox& notices, std::int32_t tableTag,
                        Findings* findings = nullptr, const RowsCounted& rowsCounted = nullptr,
                        const RowsCounted& rowsCopied = nullptr,
                        const DependentsCarried& carried = nullptr,
                        OnlineRebuild* online = nullptr);

// TableTags some databases flag but whose tables are never rebuilt.
constexpr bool IsSkippedByDesign(std::int32_t tableTag) {
  return tableTag == 27 || tableTag == 35;
}
// Why such a table is left as it is; translated where it is used (text::Tr).
inline constexpr const char* kSkippedByDesignReason =
    N_("TableTags 27 and 35 are never rebuilt; their flag stays as it is");

// A detail table holds quantities in slot columns above the new size count.
// The run rolls back, then shows the size-decrease notice.
class QuantitiesAboveN : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "尺码组包含尺码数量变少，配码需相应修改" CR "不能自动修改，请联系供货商进行修改", GBK.
extern const char* const kSizeDecreaseNotice;

// A slot column is "x_" (either case) and a whole number from 1 up, written
// without leading zeros, the way the rebuild names them: "x_%d".
bool IsSlotColumnName(std::string_view name, std::int32_t* number = nullptr);

}  // namespace slotsync::rebuild
