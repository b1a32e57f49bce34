#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "entry/audit_log.h"
#include "text/gbk.h"

namespace slotsync::entry {

std::string AppendAuditLine(const std::string& gbkPath, const std::string& line) {
  const std::string path = text::GbkToTerminal(gbkPath);
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return "the log " + gbkPath + " could not be opened: " + std::strerror(errno);
  // One write of the whole line: with O_APPEND the kernel puts it at the
  // end in one piece, whoever else appends meanwhile.
  const ssize_t written = ::write(fd, line.data(), line.size());
  const int writeError = errno;
  const bool closed = ::close(fd) == 0;
  if (written != static_cast<ssize_t>(line.size())) {
    return "the log " + gbkPath + " could not be written: " +
           (written < 0 ? std::strerror(writeError) : "only part of the line was written");
  }
  if (!closed) return "the log " + gbkPath + " could not be closed: " + std::strerror(errno);
  return {};
}

std::string AuditLogFromEnvironment() {
  const char* path = std::getenv("SLOTSYNC_LOG");
  return path == nullptr ? std::string() : text::TerminalToGbk(path);
}

}  // namespace slotsync::entry
