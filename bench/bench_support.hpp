// What the benchmark programs share: a console reporter that also keeps
// each benchmark's real time, so that a program can print the ratios its
// goals are stated in.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace velmora::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  // The real time per iteration of the named benchmark; 0 when it did not run.
  double time(const std::string& name) const {
    const auto found = times_.find(name);
    return found == times_.end() ? 0.0 : found->second;
  }
  // time(numerator) / time(denominator), or 0 when either did not run.
  double ratio(const std::string& numerator, const std::string& denominator) const {
    const double a = time(numerator);
    const double b = time(denominator);
    return a > 0 && b > 0 ? a / b : 0.0;
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace velmora::bench
