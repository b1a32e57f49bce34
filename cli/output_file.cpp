#include "output_file.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "say.h"

namespace slotsync::cli {
namespace {

namespace fs = std::filesystem;

// A name beside the target that nothing has yet, in the same directory so
// that the rename stays on one file system.
fs::path FreshNameBeside(const fs::path& target) {
  std::random_device random;
  for (;;) {
    fs::path candidate = target;
    candidate += ".new-" + std::to_string(random());
    std::error_code error;
    if (!fs::exists(fs::symlink_status(candidate, error))) return candidate;
  }
}

// A FIFO, a device or a directory where a file is to be written.
std::string RefusedTarget(const std::string& path) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(fs::path(path), error);
  if (fs::is_fifo(status) || fs::is_character_file(status) || fs::is_block_file(status) ||
      fs::is_socket(status) || fs::is_directory(status)) {
    return SayFormat("%s is a FIFO, a device or a directory, not a file; name a file", path);
  }
  return {};
}

}  // namespace

std::string CheckNewFileCanBeWritten(const std::string& path, bool directory) {
  std::error_code error;
  fs::path target(path);
  if (directory) {
    fs::create_directories(target, error);
    if (!fs::is_directory(target, error)) {
      return SayFormat("%s is no folder that scripts can be written to", path);
    }
    target /= "slotsync-check";
  } else if (std::string refused = RefusedTarget(path); !refused.empty()) {
    return refused;
  }
  const fs::path fresh = FreshNameBeside(target);
  const bool made = static_cast<bool>(std::ofstream(fresh, std::ios::binary));
  fs::remove(fresh, error);
  return made ? std::string() : SayFormat("%s could not be written", path);
}

std::string WriteNewFile(const std::string& path, std::string_view content) {
  const fs::path target(path);
  std::error_code error;
  if (std::string refused = RefusedTarget(path); !refused.empty()) return refused;
  const fs::path fresh = FreshNameBeside(target);
  {
    std::ofstream file(fresh, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    file.close();
    if (!file) {
      fs::remove(fresh, error);
      return SayFormat("%s could not be written", path);
    }
  }
  fs::rename(fresh, target, error);
  if (error) {
    fs::remove(fresh, error);
    return SayFormat("%s could not be written: %s", path, error.message());
  }
  return {};
}

}  // namespace slotsync::cli
