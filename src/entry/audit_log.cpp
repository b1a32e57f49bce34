#include "entry/audit_log.h"

#include <chrono>
#include <ctime>
#include <nlohmann/json.hpp>

#include "entry/version.h"
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

namespace {

nlohmann::json Optional(const std::optional<std::int64_t>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json TableEntry(const TableRun& table) {
  return {{"tableTag", table.tableTag},           {"table", text::GbkToUtf8(table.tableName)},
          {"kind", KindText(table.kind)},         {"rows", Optional(table.rows)},
          {"rowsLost", Optional(table.rowsLost)}, {"seconds", table.seconds},
          {"status", StatusText(table.status)},   {"carried", CarriedJson(table.carried)},
          {"dependentsLost", LostJson(table.dependentsLost)}};
}

}  // namespace

nlohmann::json CarriedJson(const rebuild::CarriedCounts& counts) {
  return {{"indexes", counts.indexes},         {"constraints", counts.constraints},
          {"permissions", counts.permissions}, {"triggers", counts.triggers},
          {"descriptions", counts.properties}};
}

nlohmann::json LostJson(const std::vector<std::string>& lost) {
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& item : lost) list.push_back(text::GbkToUtf8(item));
  return list;
}

std::string AuditLine(const ConnectionArguments& arguments, const RunReport& report,
                      const char* outcomeName) {
  nlohmann::json tables = nlohmann::json::array();
  for (const TableRun& table : report.tables) tables.push_back(TableEntry(table));
  const nlohmann::json line = {
      {"time", UtcTimestamp()},
      {"server", text::GbkToUtf8(arguments.server)},
      {"database", text::GbkToUtf8(arguments.database)},
      {"login", text::GbkToUtf8(arguments.user)},
      {"version", kVersion},
      {"outcome", outcomeName},
      {"slotCount", report.slotCount},
      {"slotColumns", report.slotColumns},
      {"flaggedTables", report.flaggedRows},
      {"rebuiltTables", report.rebuiltTables},
      {"tables", tables},
      {"statements", report.statementsSent},
      {"seconds", report.seconds},
      {"message", text::GbkToUtf8(report.message)},
  };
  // Replaced, not thrown: a byte the converter let through must not cost
  // the line.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace slotsync::entry
