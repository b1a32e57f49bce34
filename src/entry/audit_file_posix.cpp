#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "entry/audit_log.h"
#include "text/gbk.h"

namespace slotsync::entry {

std::string AppendAuditLine(const std::string& gbkPath, const std::string& line) {
  const std::string path = text::GbkToTerminal(gbkPath);
  // Never through a symbolic link (a log pointed at another file would
  // append to it), and never blocking: a FIFO with no reader would hold the
  // open for ever. Then only a regular file is written.
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0640);
  if (fd < 0 && errno == ELOOP) {
    return "the log " + gbkPath +
           " is a symbolic link, which is not followed; name the file itself";
  }
  if (fd < 0 && errno == ENXIO) {
    return "the log " + gbkPath + " is a FIFO or a device, not a regular file; name a file";
  }
  if (fd < 0) return "the log " + gbkPath + " could not be opened: " + std::strerror(errno);
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return "the log " + gbkPath + " is a FIFO or a device, not a regular file; name a file";
  }
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
