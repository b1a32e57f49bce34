#include "entry/audit_log.h"

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>

#include "entry/run_json.h"
#include "text/gbk.h"

namespace slotsync::entry {

std::string UtcTimestamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string AppendAuditLine(const std::string& gbkPath, const std::string& line) {
  AuditFile file;
  if (std::string failed = file.Open(gbkPath); !failed.empty()) return failed;
  return file.Append(line);
}

std::string AuditLine(const ConnectionArguments& arguments, const RunReport& report,
                      const std::string& dataSource) {
  nlohmann::json line = {
      {"time", UtcTimestamp()},
      {"server", text::GbkToUtf8(arguments.server)},
      {"database", text::GbkToUtf8(arguments.database)},
      {"login", text::GbkToUtf8(arguments.user)},
  };
  if (!dataSource.empty()) line["dataSource"] = text::GbkToUtf8(dataSource);
  line.update(RunJson(report));
  // Replaced, not thrown: a byte the converter let through must not cost
  // the line.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace slotsync::entry
