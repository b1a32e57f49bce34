#include "sql/write_plan.h"

#include "text/gbk.h"

namespace slotsync::sql {
namespace {

// Letters, digits and what T-SQL allows inside a plain name; every byte of a
// GBK character counts as part of a name.
bool IsNameByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x80 || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '#' || c == '@' || c == '$';
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (std::size_t i = 0; i < upper.size(); ++i) {
    if (static_cast<unsigned char>(upper[i]) >= 0x80) {
      ++i;  // the trail byte of a GBK character is never a letter to fold
    } else if (upper[i] >= 'a' && upper[i] <= 'z') {
      upper[i] = static_cast<char>(upper[i] - 'a' + 'A');
    }
  }
  return upper;
}

// The last part of a possibly qualified, possibly bracketed name that starts
// at `at`: "[dbo].[T]" and "dbo.T" give "T".
std::string NameAt(std::string_view text, std::size_t at) {
  std::string last;
  while (at < text.size()) {
    if (text[at] == '[') {
      const std::size_t close = text::FindAsciiCharacter(text, ']', at);
      if (close == std::string_view::npos) break;
      last = std::string(text.substr(at + 1, close - at - 1));
      at = close + 1;
    } else {
      std::size_t end = at;
      while (end < text.size() && IsNameByte(text[end])) end += 1;
      if (end == at) break;
      last = std::string(text.substr(at, end - at));
      at = end;
    }
    if (at >= text.size() || text[at] != '.') break;
    ++at;
  }
  return last;
}

std::size_t SkipBlanks(std::string_view text, std::size_t at) {
  while (at < text.size() && text[at] == ' ') ++at;
  return at;
}

// Every name that follows one of the keywords, compared without case.
void NamesAfter(std::string_view text, std::string_view keyword, std::vector<std::string>& names) {
  const std::string upper = Upper(text);
  const std::string key = Upper(keyword);
  for (std::size_t at = upper.find(key); at != std::string::npos; at = upper.find(key, at + 1)) {
    const bool starts = at == 0 || !IsNameByte(text[at - 1]);
    if (!starts) continue;
    std::string name = NameAt(text, SkipBlanks(text, at + key.size()));
    if (!name.empty()) names.push_back(std::move(name));
  }
}

// The quoted names of "sp_rename 'A', 'B'".
void RenamedNames(std::string_view text, std::vector<std::string>& names) {
  if (!Upper(text.substr(0, 9)).starts_with("SP_RENAME")) return;
  for (std::size_t open = text.find('\''); open != std::string_view::npos;) {
    const std::size_t close = text.find('\'', open + 1);
    if (close == std::string_view::npos) break;
    names.push_back(NameAt(text, open + 1));
    open = text.find('\'', close + 1);
  }
}

}  // namespace

std::vector<std::string> TablesWrittenBy(std::string_view statement) {
  std::vector<std::string> names;
  // The run's flag update changes one column of one S_Modify row, which no
  // later read depends on: it would otherwise mark every dictionary read
  // after the first table as unknown.
  if (Upper(statement).starts_with("UPDATE S_MODIFY SET MODIFIED=")) return names;
  NamesAfter(statement, "Table ", names);  // Create, Drop and Alter Table
  NamesAfter(statement, "into ", names);
  NamesAfter(statement, "Update ", names);
  if (Upper(statement).find("INDEX") != std::string::npos) NamesAfter(statement, " ON ", names);
  RenamedNames(statement, names);
  return names;
}

void WritePlan::Record(std::string text, PlannedStatement::Kind kind) {
  if (kind != PlannedStatement::Kind::kGuard) {
    // The latest write of a table is the one whose effect a read would see.
    for (const std::string& table : TablesWrittenBy(text)) {
      touched_[Upper(table)] = statements_.size();
    }
  }
  statements_.push_back({std::move(text), kind});
}

void WritePlan::Unknown(std::string text, std::string dependsOn) {
  unknownReads_.push_back({std::move(text), std::move(dependsOn)});
}

const PlannedStatement* WritePlan::WriteBehind(std::string_view read) const {
  if (touched_.empty()) return nullptr;
  // Every whole name in the read, quoted or not, looked up once: a plan of
  // many tables has many writes, and every read of it asks.
  const PlannedStatement* latest = nullptr;
  const std::string upper = Upper(read);
  for (std::size_t at = 0; at < upper.size();) {
    if (!IsNameByte(upper[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < upper.size() && IsNameByte(upper[end])) ++end;
    const auto touched = touched_.find(upper.substr(at, end - at));
    if (touched != touched_.end() &&
        (latest == nullptr || &statements_[touched->second] > latest)) {
      latest = &statements_[touched->second];
    }
    at = end;
  }
  return latest;
}

}  // namespace slotsync::sql
