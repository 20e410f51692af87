// What the benchmark programs share: a console reporter that also keeps
// every repetition's real time and counters, so that a program can print the
// figures its goals are stated in (medians of the repetitions), each with its
// verdict; a missed goal makes the program exit 1.
//
// On a machine that others share, the load changes while a program runs:
// repetitions of different benchmarks are interleaved at random (unless the
// command line says otherwise), so that a change in the load touches the
// library and its baseline alike, and the median of each is compared.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace velmora::bench {

class GoalReporter : public benchmark::ConsoleReporter {
 public:
  // benchmark::Initialize, with the repetitions interleaved by default.
  static void initialize(int* argc, char** argv) {
    static std::vector<char*> words;
    words.assign(argv, argv + *argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    const bool given = std::any_of(words.begin(), words.end(), [](const char* word) {
      return std::strncmp(word, "--benchmark_enable_random_interleaving", 38) == 0;
    });
    if (!given) words.insert(words.begin() + 1, interleave);
    int count = static_cast<int>(words.size());
    words.push_back(nullptr);
    benchmark::Initialize(&count, words.data());
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;  // mean, median and deviation rows
      auto& measured = measured_[run.run_name.str()];
      measured.times.push_back(run.GetAdjustedRealTime());
      for (const auto& [name, counter] : run.counters) measured.counters[name].push_back(counter.value);
    }
  }

  // The median real time per iteration of the named benchmark (its name up
  // to the first "/" will do); 0 when it did not run.
  double time(const std::string& name) const {
    const auto* found = find(name);
    return found ? median(found->times) : 0.0;
  }
  // The median of a counter of the named benchmark, as reported (rates per
  // second); 0 when it did not run.
  double counter(const std::string& name, const std::string& counterName) const {
    const auto* found = find(name);
    if (!found) return 0.0;
    const auto values = found->counters.find(counterName);
    return values == found->counters.end() ? 0.0 : median(values->second);
  }
  // time(numerator) / time(denominator), or 0 when either did not run.
  double ratio(const std::string& numerator, const std::string& denominator) const {
    const double a = time(numerator);
    const double b = time(denominator);
    return a > 0 && b > 0 ? a / b : 0.0;
  }
  // "median 2.43, min 1.90, max 3.10 of 9" (in the benchmark's time unit).
  std::string spread(const std::string& name) const {
    const auto* found = find(name);
    if (!found) return "did not run";
    const auto [low, high] = std::minmax_element(found->times.begin(), found->times.end());
    char text[128];
    std::snprintf(text, sizeof text, "median %.4g, min %.4g, max %.4g of %zu", median(found->times), *low, *high,
                  found->times.size());
    return text;
  }

  // Prints "what: value (goal >= limit): met" or "... MISSED". Nothing for a
  // figure of a benchmark that did not run (`ran` false).
  void atLeast(const char* what, double value, double limit, bool ran) {
    verdict(what, value, ">=", limit, ran, value >= limit);
  }
  void atMost(const char* what, double value, double limit, bool ran) {
    verdict(what, value, "<=", limit, ran, value <= limit);
  }
  // 0 when every goal that was measured was met, else 1.
  int exitStatus() const { return missed_ == 0 ? 0 : 1; }

 private:
  struct Measured {
    std::vector<double> times;
    std::map<std::string, std::vector<double>> counters;
  };

  const Measured* find(const std::string& name) const {
    for (const auto& [runName, measured] : measured_) {
      if (runName == name || runName.rfind(name + "/", 0) == 0) return &measured;
    }
    return nullptr;
  }
  static double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }
  void verdict(const char* what, double value, const char* relation, double limit, bool ran, bool met) {
    if (!ran) return;
    missed_ += met ? 0 : 1;
    std::printf("%s: %.4g (goal %s %.4g): %s\n", what, value, relation, limit, met ? "met" : "MISSED");
  }

  std::map<std::string, Measured> measured_;
  int missed_ = 0;
};

}  // namespace velmora::bench
