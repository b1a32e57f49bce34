#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "entry/audit_log.h"
#include "text/gbk.h"
#include "text/messages.h"

namespace slotsync::entry {
namespace {

// The C library's text for an error is in the locale's encoding; the
// messages are GBK.
std::string ErrorText(int error) {
  return text::TerminalToGbk(std::strerror(error));
}

}  // namespace

AuditFile::~AuditFile() {
  Close();
}

void AuditFile::Close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool AuditFile::IsOpen() const {
  return fd_ >= 0;
}

std::string AuditFile::Open(const std::string& gbkPath) {
  Close();
  path_ = gbkPath;
  const std::string path = text::GbkToTerminal(gbkPath);
  // Never through a symbolic link (a log pointed at another file would
  // append to it), and never blocking: a FIFO with no reader would hold the
  // open for ever. Then only a regular file is kept.
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
  if (fd < 0 && errno == ELOOP) {
    return text::TrFormat(
        "the log %s is a symbolic link, which is not followed; name the file itself", gbkPath);
  }
  if (fd < 0 && errno == ENXIO) {
    return text::TrFormat("the log %s is a FIFO or a device, not a regular file; name a file",
                          gbkPath);
  }
  if (fd < 0) {
    return text::TrFormat("the log %s could not be opened: %s", gbkPath, ErrorText(errno));
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return text::TrFormat("the log %s is a FIFO or a device, not a regular file; name a file",
                          gbkPath);
  }
  fd_ = fd;
  return {};
}

std::string AuditFile::Append(const std::string& line) {
  if (fd_ < 0) {
    return text::TrFormat("the log %s could not be written: %s", path_, ErrorText(EBADF));
  }
  // One write of the whole line: with O_APPEND the kernel puts it at the
  // end in one piece, whoever else appends meanwhile.
  const ssize_t written = ::write(fd_, line.data(), line.size());
  if (written != static_cast<ssize_t>(line.size())) {
    return text::TrFormat(
        "the log %s could not be written: %s", path_,
        written < 0 ? ErrorText(errno) : text::Tr("only part of the line was written"));
  }
  return {};
}

std::string AuditLogFromEnvironment() {
  const char* path = std::getenv("SLOTSYNC_LOG");
  return path == nullptr ? std::string() : text::TerminalToGbk(path);
}

}  // namespace slotsync::entry
