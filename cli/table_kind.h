#pragma once

// How the command names a flagged table's kind, in its lines, its JSON and
// its scripts alike: in English, which its lines translate where they show
// it (the scripts and the JSON keep it as it is).

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "rebuild/findings.h"
#include "slotsync/slotsync.h"
#include "text/messages.h"

namespace slotsync::cli {

inline const char* KindName(int kind) {
  switch (kind) {
    case SLOTSYNC_TABLE_DETAIL:
      return N_("detail");
    case SLOTSYNC_TABLE_PER_TERMINAL:
      return N_("per-terminal");
    default:
      return N_("none");  // TableTags 27 and 35, which the run skips
  }
}

// What a table report says the rebuild carried over to the new tables.
inline rebuild::CarriedCounts CarriedOf(const SlotsyncTableReport& report) {
  rebuild::CarriedCounts counts;
  counts.indexes = report.indexesCarried;
  counts.constraints = report.constraintsCarried;
  counts.permissions = report.permissionsCarried;
  counts.triggers = report.triggersCarried;
  counts.properties = report.descriptionsCarried;
  return counts;
}

// The items of a list the library hands over separated by `separator`.
inline std::vector<std::string> ItemsOf(const char* list, char separator) {
  std::vector<std::string> items;
  const std::string_view text = list == nullptr ? std::string_view() : list;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(separator, at), text.size());
    items.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return items;
}

// A table recreated empty by design, with the rows it held (-1: not known).
struct EmptiedTable {
  std::string name;  // GBK
  long long rows = -1;
};

// The report's tables recreated empty, "name\trows" one a line; no GBK
// trail byte is a tab or a line feed.
inline std::vector<EmptiedTable> EmptiedOf(const SlotsyncTableReport& report) {
  std::vector<EmptiedTable> tables;
  if (report.size < sizeof report) return tables;
  for (const std::string& item : ItemsOf(report.emptied, '\n')) {
    const std::size_t tab = item.rfind('\t');
    if (tab == std::string::npos) continue;
    tables.push_back({item.substr(0, tab), std::atoll(item.c_str() + tab + 1)});
  }
  return tables;
}

}  // namespace slotsync::cli
