#pragma once

// What every benchmarked run is wired to: the scripted connection, no
// window, the real rebuilders, and a notice box that answers at once.

#include "entry/restructure_run.h"
#include "scripted_connection.h"

namespace slotsync::bench {

class SilentNotices final : public ui::NoticeBox {
 public:
  int ShowNotice(const std::string&, unsigned) override { return ui::kNoticeOk; }
};

inline entry::RunDependencies Dependencies(testing::Script& script, ui::NoticeBox& notices) {
  entry::RunDependencies deps;
  deps.makeClient = [&script](const entry::SizeConnectionSettings&) {
    return std::make_unique<testing::ScriptedConnection>(script);
  };
  deps.makeProgressView = [] { return std::make_unique<ui::NullProgressView>(); };
  deps.makeRebuilders = [](sql::SqlAccess& access, ui::NoticeBox& box) {
    return rebuild::MakeRebuilders(access, box);
  };
  deps.notices = &notices;
  return deps;
}

}  // namespace slotsync::bench
