#include "rebuild/rebuilders.h"

#include "rebuild/detail_table.h"
#include "rebuild/terminal_table.h"

namespace slotsync::rebuild {
namespace {

class DatabaseRebuilders final : public Rebuilders {
 public:
  DatabaseRebuilders(sql::SqlAccess& access, ui::NoticeBox& notices)
      : access_(access), notices_(notices) {}

  bool RebuildDetailTable(std::int32_t tableTag) override {
    return rebuild::RebuildDetailTable(access_, notices_, tableTag, findings_, rowsCounted_,
                                       rowsCopied_, carried_, online_);
  }
  void RebuildTerminalTables(std::int32_t tableTag) override {
    rebuild::RebuildTerminalTables(access_, tableTag, findings_, carried_);
  }

 private:
  sql::SqlAccess& access_;
  ui::NoticeBox& notices_;
};

}  // namespace

std::unique_ptr<Rebuilders> MakeRebuilders(sql::SqlAccess& access, ui::NoticeBox& notices) {
  return std::make_unique<DatabaseRebuilders>(access, notices);
}

}  // namespace slotsync::rebuild
