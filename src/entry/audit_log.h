#pragma once

// The audit trail: one JSON line per run, appended to a file that several
// processes and machines may share.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "entry/restructure_run.h"

namespace slotsync::entry {

// The run as one line of JSON (UTF-8, ending in a newline): when, where, who
// (never the password), then the run as the command's --json gives it.
// `dataSource`: the ODBC data source the run connected through, which names
// the server in its place; empty when none.
std::string AuditLine(const ConnectionArguments& arguments, const RunReport& report,
                      const std::string& dataSource = {});

// The log file, opened for appending: every line goes to its end with one
// write, so that lines of runs at the same time never interleave. Only a
// regular file is opened: never through a symbolic link (on Windows a
// reparse point), and a FIFO or a device is refused instead of waited on.
class AuditFile {
 public:
  AuditFile() = default;
  ~AuditFile();
  AuditFile(const AuditFile&) = delete;
  AuditFile& operator=(const AuditFile&) = delete;

  // Opens the file at the GBK path, creating it when it is not there.
  // Returns empty text, or why it could not be opened (GBK).
  std::string Open(const std::string& gbkPath);
  bool IsOpen() const;
  // Appends the line with one write; empty text, or why it failed.
  std::string Append(const std::string& line);

 private:
  void Close() noexcept;
  std::string path_;  // GBK, for messages
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// Opens the file, appends the line and closes it again. The path is GBK.
// Returns empty text, or why it could not be written.
std::string AppendAuditLine(const std::string& gbkPath, const std::string& line);

// The time now in UTC, as ISO 8601 ("2026-12-07T11:30:00Z").
std::string UtcTimestamp();

// The path SLOTSYNC_LOG names, as GBK; empty when it is not set.
std::string AuditLogFromEnvironment();

}  // namespace slotsync::entry
