// The console report plus each benchmark's median real time (in the
// benchmark's unit), kept for the ratio lines a program prints at the end.
// Without repetitions the single run's time stands in for the median.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs)
      if (run.aggregate_name == "median" || (run.run_type == Run::RT_Iteration && !seenMedian_))
        medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
    for (const auto& run : runs)
      if (run.aggregate_name == "median") seenMedian_ = true;
  }

 protected:
  std::map<std::string, double> medians_;

 private:
  bool seenMedian_ = false;
};

// Runs the registered benchmarks with 15 repetitions reported as aggregates
// (flags on the command line come later and win), through `reporter`.
inline void runWithMedians(int argc, char** argv, MedianReporter& reporter) {
  std::string repetitions = "--benchmark_repetitions=15";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  std::vector<char*> args{argv[0], repetitions.data(), aggregates.data()};
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
