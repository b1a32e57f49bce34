#include "scenario.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace scripted_odbc {
namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendHex(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

// A cell is split off at every "|" that no backslash escapes; the escapes
// stay in the pieces for Unescape, so "\N" can still be told from "\\N".
std::vector<std::string> SplitCells(std::string_view text) {
  std::vector<std::string> cells(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      cells.back() += text.substr(i, 2);
      ++i;
    } else if (text[i] == '|') {
      cells.emplace_back();
    } else {
      cells.back() += text[i];
    }
  }
  return cells;
}

bool IsSqlState(std::string_view text) {
  if (text.size() != 5) return false;
  for (const char c : text) {
    const bool digit = c >= '0' && c <= '9';
    const bool upper = c >= 'A' && c <= 'Z';
    if (!digit && !upper) return false;
  }
  return true;
}

std::optional<Call> CallOf(std::string_view keyword) {
  for (const Call call : {Call::kConnect, Call::kStartTransaction, Call::kEndTransaction,
                          Call::kCommit, Call::kRollback, Call::kDisconnect}) {
    if (CallKeyword(call) == keyword) return call;
  }
  return std::nullopt;
}

class Parser {
 public:
  Scenario Parse(std::string_view text) {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      ++lineNumber_;
      ParseLine(line);
      start = end + 1;
    }
    return std::move(scenario_);
  }

 private:
  [[noreturn]] void Problem(const std::string& what) const {
    throw ScenarioError(lineNumber_, what);
  }

  std::string Text(std::string_view escaped) const {
    try {
      return Unescape(escaped);
    } catch (const std::invalid_argument& e) {
      Problem(e.what());
    }
  }

  std::vector<Cell> Cells(std::string_view rest) const {
    std::vector<Cell> cells;
    for (const std::string& raw : SplitCells(rest)) {
      if (raw == "\\N") {
        cells.emplace_back(std::nullopt);
      } else {
        cells.emplace_back(Text(raw));
      }
    }
    return cells;
  }

  Failure ReadFailure(std::string_view rest) const {
    const std::size_t blank = rest.find(' ');
    std::string_view state = rest.substr(0, blank);
    long native = 0;
    if (const std::size_t colon = state.find(':'); colon != std::string_view::npos) {
      const std::string number(state.substr(colon + 1));
      std::size_t used = 0;
      try {
        native = std::stol(number, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used == 0 || used != number.size()) Problem("'" + number + "' is no error number");
      state = state.substr(0, colon);
    }
    if (!IsSqlState(state)) {
      Problem("'" + std::string(state) +
              "' is no SQLSTATE: five digits or capital letters are expected");
    }
    const std::string_view message =
        blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    return Failure{std::string(state), Text(message), native};
  }

  Result& Current(std::string_view keyword) const {
    if (answer_ == nullptr) {
      Problem("'" + std::string(keyword) + "' outside a statement block");
    }
    return answer_->results.back();
  }

  void ParseLine(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') return;
    if (first != 0) Problem("a line starts with its keyword, not with a blank");
    const std::size_t blank = line.find(' ');
    const std::string_view keyword = line.substr(0, blank);
    const std::string_view rest =
        blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);

    if (keyword == "statement") {
      auto& answers = scenario_.answers[Text(rest)];
      answers.emplace_back();
      answers.back().results.emplace_back();
      answer_ = &answers.back();
    } else if (keyword == "columns") {
      Result& result = Current(keyword);
      if (result.failure) Problem("a failing result has no columns");
      if (result.hasColumns) Problem("the result has its columns already");
      result.hasColumns = true;
      for (Cell& cell : Cells(rest)) {
        if (!cell) Problem("a column name cannot be NULL");
        result.columns.push_back(std::move(*cell));
      }
    } else if (keyword == "row") {
      Result& result = Current(keyword);
      if (!result.hasColumns) Problem("'row' before 'columns'");
      std::vector<Cell> cells = Cells(rest);
      if (cells.size() != result.columns.size()) {
        Problem("the row has " + std::to_string(cells.size()) + " cells, the result " +
                std::to_string(result.columns.size()) + " columns");
      }
      result.rows.push_back(std::move(cells));
    } else if (keyword == "fail") {
      Result& result = Current(keyword);
      if (result.hasColumns || result.failure) Problem("'fail' in a result that has an answer");
      result.failure = ReadFailure(rest);
    } else if (keyword == "info") {
      Current(keyword).information.push_back(ReadFailure(rest));
    } else if (keyword == "rows-affected") {
      Result& result = Current(keyword);
      try {
        std::size_t used = 0;
        result.rowsAffected = std::stol(std::string(rest), &used);
        if (used != rest.size()) throw std::invalid_argument("trailing text");
      } catch (const std::exception&) {
        Problem("'" + std::string(rest) + "' is no number of rows");
      }
    } else if (keyword == "signal" || keyword == "signal-group" || keyword == "signal-parent") {
      Result& result = Current(keyword);
      result.raiseSignal = std::atoi(std::string(rest).c_str());
      result.signalTo = keyword == "signal"         ? Result::SignalTo::kSelf
                        : keyword == "signal-group" ? Result::SignalTo::kGroup
                                                    : Result::SignalTo::kParent;
    } else if (keyword == "wait-for-cancel") {
      Current(keyword).waitForCancel = true;
    } else if (keyword == "close-output") {
      Current(keyword).closeOutput = true;
    } else if (keyword == "more") {
      Current(keyword);
      if (!rest.empty()) Problem("'more' takes nothing after it");
      answer_->results.emplace_back();
    } else if (const std::optional<Call> call = CallOf(keyword)) {
      answer_ = nullptr;
      const std::size_t blank2 = rest.find(' ');
      const std::string_view mode = rest.substr(0, blank2);
      if (mode != "fail" && mode != "fail-once") {
        Problem("'" + std::string(keyword) + "' is followed by 'fail' or 'fail-once'");
      }
      if (scenario_.callFailures.count(*call) != 0) {
        Problem("'" + std::string(keyword) + "' is made to fail twice");
      }
      scenario_.callFailures[*call] =
          CallFailure{ReadFailure(blank2 == std::string_view::npos ? std::string_view()
                                                                   : rest.substr(blank2 + 1)),
                      mode == "fail-once"};
    } else {
      Problem("unknown keyword '" + std::string(keyword) + "'");
    }
  }

  Scenario scenario_;
  Answer* answer_ = nullptr;
  std::size_t lineNumber_ = 0;
};

}  // namespace

Scenario ParseScenario(std::string_view text) {
  return Parser().Parse(text);
}

std::string_view CallKeyword(Call call) {
  switch (call) {
    case Call::kConnect:
      return "connect";
    case Call::kStartTransaction:
      return "start-transaction";
    case Call::kEndTransaction:
      return "end-transaction";
    case Call::kCommit:
      return "commit";
    case Call::kRollback:
      return "rollback";
    case Call::kDisconnect:
      return "disconnect";
  }
  return "?";
}

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool atEnd = i == 0 || i + 1 == text.size();
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '|') {
      out += "\\|";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == ' ' && atEnd) {
      // Editors and diff tools drop blanks at line ends; statements such as
      // "... Modified=1 " need theirs.
      out += "\\s";
    } else if (c < 0x20 || c == 0x7F) {
      AppendHex(out, c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 == text.size()) throw std::invalid_argument("a lone '\\' at the end");
    const char c = text[++i];
    switch (c) {
      case '\\':
        out += '\\';
        break;
      case '|':
        out += '|';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 's':
        out += ' ';
        break;
      case 'x': {
        const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) throw std::invalid_argument("'\\x' needs two hex digits");
        out += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        throw std::invalid_argument(std::string("unknown escape '\\") + c + "'");
    }
  }
  return out;
}

void ScenarioWriter::Statement(std::string_view statement) {
  text_ += "\nstatement ";
  text_ += Escape(statement);
  text_ += '\n';
}

ScenarioWriter& ScenarioWriter::Comment(std::string_view text) {
  text_ += "# ";
  text_ += Escape(text);
  text_ += '\n';
  return *this;
}

ScenarioWriter& ScenarioWriter::Rows(std::string_view statement,
                                     const std::vector<std::string>& columns,
                                     const std::vector<std::vector<Cell>>& rows) {
  if (columns.empty()) return Done(statement);
  Statement(statement);
  const auto line = [this](std::string_view keyword, const std::vector<Cell>& cells) {
    text_ += keyword;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      text_ += i == 0 ? ' ' : '|';
      text_ += cells[i] ? Escape(*cells[i]) : "\\N";
    }
    // One empty cell is the keyword alone.
    if (text_.back() == ' ') text_.pop_back();
    text_ += '\n';
  };
  line("columns", std::vector<Cell>(columns.begin(), columns.end()));
  for (const auto& row : rows) {
    if (row.size() != columns.size()) {
      throw std::invalid_argument("a row of '" + std::string(statement) +
                                  "' does not match its columns");
    }
    line("row", row);
  }
  return *this;
}

ScenarioWriter& ScenarioWriter::Done(std::string_view statement, long rowsAffected) {
  Statement(statement);
  if (rowsAffected >= 0) text_ += "rows-affected " + std::to_string(rowsAffected) + "\n";
  return *this;
}

namespace {

std::string StateWithNumber(std::string_view sqlState, long nativeError) {
  std::string text(sqlState);
  if (nativeError != 0) text += ":" + std::to_string(nativeError);
  return text;
}

}  // namespace

ScenarioWriter& ScenarioWriter::Fail(std::string_view statement, std::string_view sqlState,
                                     std::string_view message, long nativeError) {
  Statement(statement);
  text_ += "fail ";
  text_ += StateWithNumber(sqlState, nativeError);
  text_ += ' ';
  text_ += Escape(message);
  text_ += '\n';
  return *this;
}

ScenarioWriter& ScenarioWriter::Info(std::string_view sqlState, long nativeError,
                                     std::string_view message) {
  text_ += "info " + StateWithNumber(sqlState, nativeError) + " " + Escape(message) + "\n";
  return *this;
}

ScenarioWriter& ScenarioWriter::FailCall(Call call, std::string_view sqlState,
                                         std::string_view message, bool once) {
  text_ += '\n';
  text_ += CallKeyword(call);
  text_ += once ? " fail-once " : " fail ";
  text_ += sqlState;
  text_ += ' ';
  text_ += Escape(message);
  text_ += '\n';
  return *this;
}

ScenarioWriter& ScenarioWriter::Raw(std::string_view lines) {
  text_ += '\n';
  text_ += lines;
  if (!text_.empty() && text_.back() != '\n') text_ += '\n';
  return *this;
}

void ScenarioWriter::Save(const std::string& path) const {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text_;
  file.close();
  if (!file) throw std::runtime_error("cannot write the scenario file " + path);
}

}  // namespace scripted_odbc
