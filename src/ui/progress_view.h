#pragma once

// What a restructure run shows while it works. Creating a view creates the
// window hidden; destroying the view removes it and stops its animation.

#include <functional>
#include <memory>
#include <string>

namespace slotsync::ui {

class ProgressView {
 public:
  virtual ~ProgressView() = default;

  virtual void SetPrompt(const std::string& gbkText) = 0;
  virtual void StartAnimation() = 0;
  virtual void Show() = 0;  // not modal, centred, in front
  virtual void RepaintNow() = 0;
  // Handles the calling thread's pending window messages once, then returns.
  virtual void ProcessPendingMessages() = 0;
};

// Shows nothing; for hosts that asked for no progress display.
class NullProgressView final : public ProgressView {
 public:
  void SetPrompt(const std::string&) override {}
  void StartAnimation() override {}
  void Show() override {}
  void RepaintNow() override {}
  void ProcessPendingMessages() override {}
};

// The view a run shows when its host asked for the built-in display: the
// platform's own unless a program replaced it.
std::unique_ptr<ProgressView> MakeDefaultProgressView();

// The platform's own view: the progress window on Windows, a line on the
// standard error stream elsewhere.
std::unique_ptr<ProgressView> MakePlatformProgressView();

// For a program that shows progress its own way, set before any run starts:
// the command for Windows keeps it on the console, as the command does
// elsewhere, where a host application gets the window. An empty factory
// brings the platform's own back.
void ReplaceDefaultProgressView(std::function<std::unique_ptr<ProgressView>()> factory);

}  // namespace slotsync::ui
