#include <iostream>

#include "text/gbk.h"
#include "ui/notice.h"

namespace slotsync::ui {
namespace {

class ConsoleNoticeBox final : public NoticeBox {
 public:
  int ShowNotice(const std::string& gbkText, unsigned) override {
    std::string text = text::GbkToTerminal(gbkText);
    // The notice's line break is a lone carriage return, which a terminal
    // would use to overwrite the first line.
    for (char& c : text) {
      if (c == '\r') c = '\n';
    }
    std::cerr << text::GbkToTerminal(kNoticeCaption) << ": " << text << std::endl;
    return kNoticeOk;
  }
};

}  // namespace

std::unique_ptr<NoticeBox> MakeDefaultNoticeBox() {
  return std::make_unique<ConsoleNoticeBox>();
}

}  // namespace slotsync::ui
