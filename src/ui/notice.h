#pragma once

#include <string>

namespace slotsync::ui {

// MessageBox flag and result values the library uses.
inline constexpr unsigned kNoticeInformation = 64;  // MB_ICONINFORMATION with one OK button
inline constexpr int kNoticeOk = 1;                 // IDOK

// The caption of every notice, "提示信息" in GBK.
inline constexpr const char* kNoticeCaption = "\xCC\xE1\xCA\xBE\xD0\xC5\xCF\xA2";

// Tells the user something and waits for an answer; returns the number of
// the button pressed.
class NoticeBox {
 public:
  virtual ~NoticeBox() = default;
  virtual int ShowNotice(const std::string& gbkText, unsigned flags) = 0;
};

}  // namespace slotsync::ui

#include <memory>

namespace slotsync::ui {

// The platform's own notice: a message box on Windows; elsewhere the text
// goes to the standard error stream and the call returns OK at once, so a
// library caller is never blocked waiting on a terminal.
std::unique_ptr<NoticeBox> MakeDefaultNoticeBox();

}  // namespace slotsync::ui
