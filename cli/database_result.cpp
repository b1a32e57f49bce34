#include "database_result.h"

#include <algorithm>

#include "say.h"
#include "table_display.h"
#include "table_kind.h"
#include "text/gbk.h"

namespace slotsync::cli {
namespace {

// The tables of a database's result, empty when it gave none.
nlohmann::json TablesOf(const nlohmann::json& result) {
  return result.is_object() ? result.value("tables", nlohmann::json::array())
                            : nlohmann::json::array();
}

nlohmann::json FindingsOf(const nlohmann::json& result) {
  return result.is_object() ? result.value("problems", nlohmann::json::array())
                            : nlohmann::json::array();
}

// A notice on a table a run committed or a plan would rebuild: it stays
// flagged, and the next run comes back to it.
bool StaysFlagged(const nlohmann::json& table, const nlohmann::json& findings) {
  const std::string status = table.value("status", "");
  if (status == "rebuilt, size texts left") return true;  // not a message
  if (status != "planned") return false;
  return std::any_of(findings.begin(), findings.end(), [&](const nlohmann::json& finding) {
    return finding.value("severity", "") == "notice" &&
           finding.value("tableTag", nlohmann::json()) == table.value("tableTag", nlohmann::json());
  });
}

// The tables a result says were (or would be) recreated empty, names in GBK.
std::vector<EmptiedTable> EmptiedIn(const nlohmann::json& table) {
  std::vector<EmptiedTable> emptied;
  for (const nlohmann::json& item : table.value("emptied", nlohmann::json::array())) {
    const nlohmann::json rows = item.value("rows", nlohmann::json());
    emptied.push_back(
        {text::Utf8ToGbk(item.value("table", "")), rows.is_number() ? rows.get<long long>() : -1});
  }
  return emptied;
}

}  // namespace

// A child's JSON text (UTF-8) in the terminal's encoding, which may be GBK.
std::string ForTerminal(const std::string& utf8) {
  return text::IsAscii(utf8) ? utf8 : text::GbkToTerminal(text::Utf8ToGbk(utf8));
}

// An outcome as a person reads it. A name this command does not know (a
// newer child's) is shown as the child wrote it.
std::string ShownOutcome(const std::string& outcome) {
  static const char* const kNames[] = {
      N_("in step"),       N_("committed"),      N_("rolled back"),
      N_("could not run"), N_("commit unknown"), N_("busy"),
      N_("bad arguments"), N_("dry run"),        N_("planned"),
      N_("plan refused"),  N_("locked out"),     N_("interrupted"),
      N_("not started"),   N_("failed"),         N_("out of step, nothing flagged"),
  };
  for (const char* name : kNames) {
    if (outcome == name) return Say(name);
  }
  return outcome;
}

// A finding's severity as the JSON names it, for a person.
std::string ShownSeverity(const std::string& severity) {
  static const char* const kNames[] = {N_("problem"), N_("notice"), N_("note")};
  for (const char* name : kNames) {
    if (severity == name) return Say(name);
  }
  return severity;
}

// What the run lost by design (or, planned, would lose): the run's result
// keeps it only for tables a commit (or the plan) stands behind.
int LostOf(const nlohmann::json& result) {
  std::size_t lost = 0;
  for (const nlohmann::json& table : TablesOf(result)) {
    lost += table.value("dependentsLost", nlohmann::json::array()).size();
  }
  return static_cast<int>(lost);
}

int StaysFlaggedOf(const nlohmann::json& result) {
  const nlohmann::json findings = FindingsOf(result);
  const nlohmann::json tables = TablesOf(result);
  return static_cast<int>(std::count_if(tables.begin(), tables.end(), [&](const nlohmann::json& t) {
    return StaysFlagged(t, findings);
  }));
}

std::vector<std::string> WhatItLost(const nlohmann::json& result, bool quiet) {
  std::vector<std::string> said;
  const nlohmann::json findings = FindingsOf(result);
  for (const nlohmann::json& table : TablesOf(result)) {
    const int tag = table.value("tableTag", 0);
    if (!quiet) {
      for (const nlohmann::json& lost : table.value("dependentsLost", nlohmann::json::array())) {
        said.push_back("slotsync: " + SayFormat("TableTag %d lost by design: %s", tag,
                                                ForTerminal(lost.get<std::string>())));
      }
      if (const auto emptied = HoldingRows(EmptiedIn(table)); !emptied.empty()) {
        said.push_back("slotsync: " + SayFormat("TableTag %d recreated empty by design: %s", tag,
                                                EmptiedList(emptied)));
      }
    }
    if (!StaysFlagged(table, findings)) continue;
    for (const nlohmann::json& finding : findings) {
      if (finding.value("severity", "") != "notice" ||
          finding.value("tableTag", nlohmann::json()) != table.value("tableTag", nlohmann::json()))
        continue;
      said.push_back("slotsync: " + SayFormat("TableTag %d stays flagged: %s", tag,
                                              ForTerminal(finding.value("message", ""))));
    }
  }
  if (quiet) return said;
  for (const nlohmann::json& finding : findings) {
    if (finding.value("severity", "") != "note") continue;
    const nlohmann::json tag = finding.value("tableTag", nlohmann::json());
    const std::string message = ForTerminal(finding.value("message", ""));
    said.push_back(tag.is_number()
                       ? SayFormat("%s: TableTag %d: %s", Say("note"), tag.get<int>(), message)
                       : SayFormat("%s: %s", Say("note"), message));
  }
  return said;
}

}  // namespace slotsync::cli
