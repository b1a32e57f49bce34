#include <mutex>
#include <utility>

#include "ui/progress_view.h"

namespace slotsync::ui {
namespace {

std::mutex replacementMutex;
std::function<std::unique_ptr<ProgressView>()> replacement;

}  // namespace

void ReplaceDefaultProgressView(std::function<std::unique_ptr<ProgressView>()> factory) {
  const std::lock_guard lock(replacementMutex);
  replacement = std::move(factory);
}

std::unique_ptr<ProgressView> MakeDefaultProgressView() {
  std::function<std::unique_ptr<ProgressView>()> factory;
  {
    const std::lock_guard lock(replacementMutex);
    factory = replacement;
  }
  return factory ? factory() : MakePlatformProgressView();
}

}  // namespace slotsync::ui
