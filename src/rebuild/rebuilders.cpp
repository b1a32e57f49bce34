#include "rebuild/rebuilders.h"

#include <stdexcept>

namespace slotsync::rebuild {
namespace {

// Stands in until the table rebuilders exist: it fails loudly, so that a run
// rolls back instead of clearing nothing and reporting success.
class UnavailableRebuilders final : public Rebuilders {
 public:
  bool RebuildDetailTable(std::int32_t) override {
    throw std::runtime_error("the detail-table rebuild is not available in this build");
  }
  void RebuildTerminalTables(std::int32_t) override {
    throw std::runtime_error("the per-terminal table rebuild is not available in this build");
  }
};

}  // namespace

std::unique_ptr<Rebuilders> MakeRebuilders(sql::SqlAccess&, ui::NoticeBox&) {
  return std::make_unique<UnavailableRebuilders>();
}

}  // namespace slotsync::rebuild
