#include "rebuild/findings.h"

#include <algorithm>
#include <stdexcept>

#include "text/messages.h"

namespace slotsync::rebuild {

TablePlan& Findings::Begin(std::int32_t tableTag) {
  tables_.emplace_back();
  tables_.back().tableTag = tableTag;
  return tables_.back();
}

std::size_t Findings::Count(Severity severity) const {
  return static_cast<std::size_t>(
      std::count_if(problems_.begin(), problems_.end(),
                    [&](const Problem& p) { return p.severity == severity; }));
}

std::size_t Findings::ProblemsOf(std::int32_t tableTag) const {
  return static_cast<std::size_t>(std::count_if(
      problems_.begin(), problems_.end(),
      [&](const Problem& p) { return p.tableTag == tableTag && p.severity != Severity::kNote; }));
}

bool Findings::Refused(std::int32_t tableTag) const {
  return std::any_of(problems_.begin(), problems_.end(), [&](const Problem& p) {
    return p.tableTag == tableTag && p.severity == Severity::kRefusal;
  });
}

std::optional<std::int64_t> RowsLostByDesign(const TablePlan& table) {
  std::int64_t lost = 0;
  for (const auto& [name, rows] : table.emptied) {
    if (!rows) return std::nullopt;
    lost += *rows;
  }
  return lost;
}

void Flag(Findings* findings, std::int32_t tableTag, const std::string& message, Severity severity,
          bool quantitiesAboveN) {
  if (findings == nullptr) {
    throw std::runtime_error(text::TrFormat("TableTag %d: %s", tableTag, message));
  }
  findings->Add({tableTag, severity, message, quantitiesAboveN});
}

}  // namespace slotsync::rebuild
