#include "rebuild/rebuilders.h"

#include <stdexcept>

#include "sql/statement_template.h"

namespace slotsync::rebuild {
namespace {

// Stands in until the table rebuilders exist: it fails loudly, so that a run
// rolls back instead of clearing nothing and reporting success.
class UnavailableRebuilders final : public Rebuilders {
 public:
  bool RebuildDetailTable(std::int32_t tableTag) override {
    throw std::runtime_error(sql::Format(
        "TableTag %d: the detail-table rebuild is not available in this build", tableTag));
  }
  void RebuildTerminalTables(std::int32_t tableTag) override {
    throw std::runtime_error(sql::Format(
        "TableTag %d: the per-terminal table rebuild is not available in this build", tableTag));
  }
};

}  // namespace

std::unique_ptr<Rebuilders> MakeRebuilders(sql::SqlAccess&, ui::NoticeBox&) {
  return std::make_unique<UnavailableRebuilders>();
}

}  // namespace slotsync::rebuild
