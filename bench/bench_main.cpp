// Runs every benchmark, then prints each figure beside its reference as a
// ratio of medians from this one run: the machines are shared and noisy, so
// only ratios measured side by side mean anything.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/areas.h"
#include "bench/ratio_table.h"
#include "bench/workers.h"

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With repetitions only the median counts; a single run stands alone.
      const bool median =
          run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      const std::string name = run.run_name.function_name;
      const auto score = run.counters.find("score");
      if (score != run.counters.end() && (median || scores_.count(name) == 0)) {
        scores_[name] = score->second;
      }
      const auto rate = run.counters.find("items_per_second");
      if (rate == run.counters.end()) continue;
      if (median || rates_.count(name) == 0) rates_[name] = rate->second;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    printRatioTable(rates_, benchWorkers());
    printHugePageTable();
    for (const auto& [name, score] : scores_) {
      std::printf("%s: speed score %.1f\n", name.c_str(), score);
    }
  }

 private:
  std::map<std::string, double> rates_;
  std::map<std::string, double> scores_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
