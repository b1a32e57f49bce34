// The scripted driver's scenario format: what the parser makes of a file,
// which mistakes it refuses and on which line, and that what the writer
// produces reads back the same.

#include <gtest/gtest.h>

#include "scenario.h"

namespace scripted_odbc {
namespace {

TEST(ScenarioFormat, ReadsStatementsRowsFailuresAndCallFailures) {
  const Scenario scenario = ParseScenario(
      "# a comment, then a blank line\n"
      "\n"
      "statement Select * From S_Modify Where CanCreateFlag=1 and Modified=1\\s\n"
      "columns TableTag|TableName|Memo\n"
      "row 10|StockDetail|\\N\n"
      "row -1|a\\|b|\n"
      "statement Drop Table T\n"
      "fail 42S02 Cannot drop the table 'T'.\n"
      "statement Update S_Modify Set Modified=0 Where TableTag=10\r\n"
      "rows-affected 0\n"
      "statement Exec P\n"
      "more\n"
      "fail 42000 the second result fails\n"
      "commit fail 08S01 Communication link failure\n"
      "disconnect fail-once HY000 not now\n");
  ASSERT_EQ(scenario.answers.size(), 4u);

  const auto& flagged =
      scenario.answers.at("Select * From S_Modify Where CanCreateFlag=1 and Modified=1 ");
  ASSERT_EQ(flagged.size(), 1u);
  ASSERT_EQ(flagged[0].results.size(), 1u);
  const Result& rows = flagged[0].results[0];
  EXPECT_TRUE(rows.hasColumns);
  EXPECT_EQ(rows.columns, (std::vector<std::string>{"TableTag", "TableName", "Memo"}));
  EXPECT_EQ(rows.rows, (std::vector<std::vector<Cell>>{{"10", "StockDetail", std::nullopt},
                                                       {"-1", "a|b", ""}}));

  const Result& drop = scenario.answers.at("Drop Table T")[0].results[0];
  ASSERT_TRUE(drop.failure);
  EXPECT_EQ(drop.failure->sqlState, "42S02");
  EXPECT_EQ(drop.failure->message, "Cannot drop the table 'T'.");

  // A CRLF file reads like any other.
  EXPECT_EQ(scenario.answers.at("Update S_Modify Set Modified=0 Where TableTag=10")[0]
                .results[0]
                .rowsAffected,
            0);

  const Answer& batch = scenario.answers.at("Exec P")[0];
  ASSERT_EQ(batch.results.size(), 2u);
  EXPECT_FALSE(batch.results[0].failure);
  EXPECT_EQ(batch.results[1].failure->message, "the second result fails");

  EXPECT_EQ(scenario.callFailures.at(Call::kCommit).failure.sqlState, "08S01");
  EXPECT_FALSE(scenario.callFailures.at(Call::kCommit).once);
  EXPECT_TRUE(scenario.callFailures.at(Call::kDisconnect).once);
}

TEST(ScenarioFormat, AStatementGivenAgainQueuesAFurtherAnswer) {
  const Scenario scenario = ParseScenario(
      "statement Select 1\ncolumns\nrow 1\n"
      "statement Select 1\nfail 40001 deadlock\n");
  const auto& answers = scenario.answers.at("Select 1");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].results[0].columns, std::vector<std::string>{""});
  EXPECT_EQ(answers[0].results[0].rows, std::vector<std::vector<Cell>>{{"1"}});
  EXPECT_EQ(answers[1].results[0].failure->sqlState, "40001");
}

TEST(ScenarioFormat, MistakesAreRefusedWithTheirLine) {
  struct Case {
    const char* text;
    std::size_t line;
    const char* problem;
  };
  const Case cases[] = {
      {"row 1\n", 1, "'row' outside a statement block"},
      {"statement S\nrow 1\n", 2, "'row' before 'columns'"},
      {"statement S\ncolumns a|b\nrow 1\n", 3, "the row has 1 cells, the result 2 columns"},
      {"statement S\ncolumns a\ncolumns b\n", 3, "the result has its columns already"},
      {"statement S\nfail 4200 short\n", 2, "'4200' is no SQLSTATE"},
      {"statement S\ncolumns a\nfail 42000 x\n", 3, "'fail' in a result that has an answer"},
      {"statement S\nrows-affected many\n", 2, "'many' is no number of rows"},
      {"statement S\ncolumns \\N\n", 2, "a column name cannot be NULL"},
      {"statement S\\q\n", 1, "unknown escape '\\q'"},
      {"statement S\\x4\n", 1, "'\\x' needs two hex digits"},
      {"  statement S\n", 1, "a line starts with its keyword"},
      {"select S\n", 1, "unknown keyword 'select'"},
      {"commit succeed\n", 1, "'commit' is followed by 'fail' or 'fail-once'"},
      {"commit fail 08S01 x\ncommit fail 08S01 y\n", 2, "'commit' is made to fail twice"},
      {"statement S\ncommit fail 08S01 x\nrow 1\n", 3, "'row' outside a statement block"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      ParseScenario(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
      EXPECT_EQ(e.Line(), c.line);
      EXPECT_NE(std::string(e.what()).find(c.problem), std::string::npos) << e.what();
    }
  }
}

TEST(ScenarioFormat, WhatTheWriterWritesReadsBackTheSame) {
  const std::string awkward = " lead|pipe\\back\nline\ttab\x01 trail ";
  ScenarioWriter writer;
  writer.Comment("written by the test")
      .Rows(awkward, {"", "b", awkward}, {{"1", std::nullopt, awkward}, {"", "\\N", "x"}})
      .Rows("One empty cell", {""}, {{""}, {std::nullopt}})
      .Done("Update T Set A=1", 3)
      .Fail("Drop Table T", "42S02", awkward)
      .FailCall(Call::kRollback, "HY000", "no rollback", /*once=*/true);
  const Scenario scenario = ParseScenario(writer.Text());

  const Result& rows = scenario.answers.at(awkward)[0].results[0];
  EXPECT_EQ(rows.columns, (std::vector<std::string>{"", "b", awkward}));
  EXPECT_EQ(rows.rows,
            (std::vector<std::vector<Cell>>{{"1", std::nullopt, awkward}, {"", "\\N", "x"}}));
  const Result& single = scenario.answers.at("One empty cell")[0].results[0];
  EXPECT_EQ(single.columns, std::vector<std::string>{""});
  EXPECT_EQ(single.rows, (std::vector<std::vector<Cell>>{{""}, {std::nullopt}}));
  EXPECT_EQ(scenario.answers.at("Update T Set A=1")[0].results[0].rowsAffected, 3);
  EXPECT_FALSE(scenario.answers.at("Update T Set A=1")[0].results[0].hasColumns);
  EXPECT_EQ(scenario.answers.at("Drop Table T")[0].results[0].failure->message, awkward);
  EXPECT_EQ(scenario.callFailures.at(Call::kRollback).failure.message, "no rollback");
  EXPECT_TRUE(scenario.callFailures.at(Call::kRollback).once);
}

TEST(ScenarioFormat, EscapesCoverWhatALineCannotHoldAsItIs) {
  EXPECT_EQ(Escape("a b"), "a b");
  EXPECT_EQ(Escape(" a "), "\\sa\\s");
  EXPECT_EQ(Escape("a|b\\c"), "a\\|b\\\\c");
  EXPECT_EQ(Escape("\n\r\t\x7F"), "\\n\\r\\t\\x7F");
  EXPECT_EQ(Unescape("\\x41\\s\\|"), "A |");
  EXPECT_THROW(Unescape("a\\"), std::invalid_argument);
}

}  // namespace
}  // namespace scripted_odbc
