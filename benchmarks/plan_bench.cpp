// A plan over a large dictionary: 200 flagged tables, half detail and half
// per-terminal, against the scripted connection. What it measures is the
// client's own work beyond the reads (the scripted answers cost little): the
// dictionary checks, the templates, the recorded writes and the findings.

#include <benchmark/benchmark.h>

#include "bench_run.h"
#include "run_fixture.h"
#include "scenarios.h"

namespace slotsync {
namespace {

constexpr int kTables = 200;

void ScriptDatabase(testing::Script& script) {
  script.Answer(testing::kSizeSql, testing::Rows({"SizeID"}, {{"1"}}));
  script.Answer(testing::kSlotCountSql, testing::Rows({"", "SizeGroupID"}, {{"12", "1"}}));
  script.Answer(testing::kColumnCountSql, testing::Column("", {"10"}));
  sql::ResultSet flagged = testing::Rows({"TableTag"}, {});
  for (int i = 0; i < kTables; ++i) {
    const bool detail = i % 2 == 0;
    const std::int32_t tag = detail ? (i < 100 ? i / 2 + 1 : 401 + i / 2) : 600 + i;
    flagged.rows.push_back({std::to_string(tag)});
    if (detail) {
      testing::DetailScenario table;
      table.tag = tag;
      table.tableName = "Detail" + std::to_string(tag);
      table.n = 12;
      table.xColumns.clear();
      for (int x = 1; x <= 10; ++x) table.xColumns.push_back("x_" + std::to_string(x));
      table.Apply(script);
    } else {
      testing::TerminalScenario table;
      table.tag = tag;
      table.tableName = table.dictTableName = "Term" + std::to_string(tag);
      table.types = {"T1", "T2", "T3"};
      table.slotCount = 12;
      testing::ScriptTerminalDictionary(script, table);
    }
  }
  script.Answer(testing::kFlaggedSql, flagged);
}

void BM_PlanOf200Tables(benchmark::State& state) {
  testing::Script script;
  ScriptDatabase(script);
  bench::SilentNotices notices;
  entry::RunDependencies deps = bench::Dependencies(script, notices);
  deps.plan = true;
  std::size_t planned = 0;
  deps.observeStatement = [&](const std::string&, sql::StatementOutcome outcome) {
    if (outcome != sql::StatementOutcome::kOk) ++planned;
  };
  for (auto _ : state) {
    const entry::RunReport report = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
    if (report.outcome != entry::Outcome::kPlanned) state.SkipWithError(report.message.c_str());
    benchmark::DoNotOptimize(report);
  }
  state.counters["tables"] = kTables;
  state.counters["planned_statements_per_plan"] =
      benchmark::Counter(static_cast<double>(planned) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_PlanOf200Tables)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
}  // namespace slotsync
