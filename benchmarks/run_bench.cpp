// The in-step run is what every start of the host application pays for:
// three checks and a release. Measured against the scripted connection, so
// the figures are the library's own cost, without a network or a server.

#include <benchmark/benchmark.h>

#include "bench_run.h"

namespace slotsync {
namespace {

void BM_InStepRun(benchmark::State& state) {
  testing::Script script;
  script.Answer("Select top 1 * From Size", testing::Rows({"SizeID"}, {{"1"}}));
  script.Answer(
      "Select Count(*),b.SizeGroupID From SizeGroup a,SizeGroupSize b Where "
      "a.SizeGroupID=b.SizeGroupID Group by b.SizeGroupID",
      testing::Rows({"", "SizeGroupID"}, {{"8", "1"}, {"12", "2"}, {"12", "3"}}));
  script.Answer(
      "Select Count(*) from sysColumns Where ID=Object_ID('StockDetailTemp') and Name like "
      "'x_%%'",
      testing::Column("", {"12"}));
  bench::SilentNotices notices;
  entry::RunDependencies deps = bench::Dependencies(script, notices);
  std::size_t statements = 0;
  deps.observeStatement = [&](const std::string&, sql::StatementOutcome) { ++statements; };

  for (auto _ : state) {
    const entry::RunReport report = entry::RunRestructure({"srv", "db", "sa", "pw"}, deps);
    if (report.outcome != entry::Outcome::kInStep) state.SkipWithError("the run was not in step");
    benchmark::DoNotOptimize(report);
  }
  state.counters["statements_per_run"] =
      benchmark::Counter(static_cast<double>(statements) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_InStepRun);

}  // namespace
}  // namespace slotsync
