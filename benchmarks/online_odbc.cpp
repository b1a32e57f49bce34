// An online run (--online) through the real ODBC layer and the scripted
// driver, over a detail table of 10 k, 100 k and 1 M rows: the copy's
// batches grow with the rows, the cut-over must not. The scenario is
// recorded once per size from a run over the in-memory scripted connection,
// with every batch's answer, then replayed by the driver for each run.
//
// Counters: statements per run, batches, the statements sent inside the
// cut-over transaction (from its first check to its last flag cleared) and
// the client's time for them. The driver answers at once, so what is
// measured is the client's own work; the server's side of the two checks
// is what grows with the rows there, and only that.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "bench_run.h"
#include "e2e_support.h"
#include "entry/public_api.h"
#include "entry/run_locks.h"
#include "rebuild/online_detail.h"
#include "scenarios.h"
#include "sql/statement_template.h"

namespace slotsync {
namespace {

constexpr std::int32_t kBatchRows = 2000;

std::filesystem::path Directory() {
  static const std::filesystem::path directory = [] {
    auto path = std::filesystem::temp_directory_path() /
                ("slotsync-bench-online-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return directory;
}

std::string Key(std::int64_t row) {
  std::string digits = std::to_string(row);
  return "k" + std::string(digits.size() < 9 ? 9 - digits.size() : 0, '0') + digits;
}

// StockDetail with `rows` rows, N = 3 where StockDetailTemp has 2: the
// database every online test uses, at size.
void ScriptDatabase(testing::Script& script, std::int64_t rows) {
  script.Answer(testing::kSizeSql, testing::Rows({"SizeID"}, {{"1"}}));
  script.Answer(testing::kSlotCountSql, testing::Rows({"", "SizeGroupID"}, {{"3", "1"}}));
  script.Answer(testing::kColumnCountSql, testing::Column("", {"2"}));
  script.Answer(testing::DatabaseLockSql(), testing::Column("", {"0"}));
  script.Answer(testing::kFlaggedSql,
                testing::Rows({"TableTag", "TableName", "CanCreateFlag", "Modified"},
                              {{"10", "StockDetail", "1", "1"}}));
  testing::DetailScenario detail;
  detail.rowsHeld = std::to_string(rows);
  detail.Apply(script);
  const rebuild::OnlineCopy copy = testing::StockDetailCopy();
  std::string after;
  for (std::int64_t copied = 0; copied < rows;) {
    const std::int64_t batch = std::min<std::int64_t>(kBatchRows, rows - copied);
    copied += batch;
    const std::string last = Key(copied);
    script.Answer(rebuild::BatchBoundQuery(copy, copied == batch ? nullptr : &after, kBatchRows),
                  testing::Rows({"", ""}, {{std::to_string(batch), last}}));
    after = last;
  }
  // A last, empty read when the rows fill the last batch.
  script.Answer(rebuild::BatchBoundQuery(copy, &after, kBatchRows),
                testing::Rows({"", ""}, {{"0", std::nullopt}}));
  const sql::ResultSet sums = testing::Rows(
      {"", "", ""}, {{std::to_string(rows), std::to_string(rows), std::to_string(2 * rows)}});
  script.Answer(rebuild::CutOverCheckQuery(copy, false), sums);
  script.Answer(rebuild::CutOverCheckQuery(copy, true), sums);
}

std::filesystem::path Scenario(std::int64_t rows) {
  static std::map<std::int64_t, std::filesystem::path> recorded;
  if (auto it = recorded.find(rows); it != recorded.end()) return it->second;
  testing::Script script;
  ScriptDatabase(script, rows);
  scripted_odbc::ScenarioWriter writer;
  bench::SilentNotices notices;
  entry::RunDependencies deps = bench::Dependencies(script, notices);
  deps.makeClient = [&](const entry::SizeConnectionSettings&) {
    return e2e::Recording(std::make_unique<testing::ScriptedConnection>(script), writer);
  };
  deps.online.enabled = true;
  deps.online.batchRows = kBatchRows;
  deps.lockTimeoutSeconds = entry::kDefaultLockTimeoutSeconds;  // as the C API's default
  const entry::RunReport report = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
  if (report.outcome != entry::Outcome::kCommitted) {
    throw std::runtime_error("the recorded run did not commit: " + report.message);
  }
  const auto path = Directory() / ("online-" + std::to_string(rows) + ".txt");
  writer.Save(path.string());
  return recorded[rows] = path;
}

struct Counts {
  std::int64_t statements = 0;
  std::int64_t batches = 0;
  std::int64_t cutOver = 0;  // statements from the first check to the last flag cleared
  std::int64_t inCutOver = 0;
  std::chrono::steady_clock::time_point cutOverStart, cutOverEnd;
};

void OnStatement(void* context, const char* text, int) {
  auto& counts = *static_cast<Counts*>(context);
  ++counts.statements;
  const std::string_view statement(text);
  if (statement.starts_with("Insert into [dbo].[Tmp_")) ++counts.batches;
  if (statement.starts_with("Select Count_Big(*)") && counts.inCutOver == 0) {
    counts.cutOverStart = std::chrono::steady_clock::now();
    counts.inCutOver = counts.statements;
  }
  if (statement.starts_with("Update S_Modify Set Modified=0") && counts.inCutOver != 0) {
    counts.cutOverEnd = std::chrono::steady_clock::now();
    counts.cutOver = counts.statements - counts.inCutOver + 1;
  }
}

void BM_OnlineRunThroughOdbc(benchmark::State& state) {
  const std::int64_t rows = state.range(0);
  const auto scenario = Scenario(rows);
  setenv("SLOTSYNC_ODBC_DRIVER", SLOTSYNC_SCRIPTED_DRIVER, 1);
  setenv("SCRIPTED_ODBC_SCENARIO", scenario.c_str(), 1);
  unsetenv("SCRIPTED_ODBC_LOG");
  Counts counts;
  double cutOverSeconds = 0;
  for (auto _ : state) {
    counts = Counts();
    SlotsyncOptions options{};
    options.size = sizeof options;
    options.online = 1;
    // The scripted driver has no encryption keywords to be asked for.
    options.encrypt = SLOTSYNC_ENCRYPT_OPTIONAL;
    options.onStatement = OnStatement;
    options.statementContext = &counts;
    SlotsyncResult result{};
    result.size = sizeof result;
    if (entry::RefreshStructWith("srv", "db", "sa", "pw", &options, &result, nullptr) !=
        SLOTSYNC_COMMITTED) {
      state.SkipWithError(result.message);
      break;
    }
    cutOverSeconds +=
        std::chrono::duration<double>(counts.cutOverEnd - counts.cutOverStart).count();
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["statements"] = static_cast<double>(counts.statements);
  state.counters["batches"] = static_cast<double>(counts.batches);
  state.counters["cutover_statements"] = static_cast<double>(counts.cutOver);
  state.counters["cutover_us"] = iterations > 0 ? cutOverSeconds / iterations * 1e6 : 0;
  state.SetComplexityN(rows);
}
BENCHMARK(BM_OnlineRunThroughOdbc)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace slotsync

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(slotsync::Directory());
  return 0;
}
