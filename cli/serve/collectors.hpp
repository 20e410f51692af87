// The exporter's own series about its collectors, computed at scrape time
// from what each collector last reported, so that a scrape never waits for a
// collector:
//   velmora_collector_up{collector}                 1 when its last round succeeded
//   velmora_collector_duration_seconds{collector}   how long its last round took
//   velmora_collector_errors_total{collector}       failed rounds since start
//   velmora_collector_age_seconds{collector}        seconds since its values were last
//                                                   collected in full (absent before the first time)
// A failure's reason goes to standard error when it differs from the last
// one reported, and a recovery is said once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

namespace velmora::cli::serve {

// One line on standard error, prefixed with "velmora-fsutil serve: ", with
// control characters escaped: reasons may quote what a tool or drive said.
void logLine(const std::string& message);

class Collectors final : public prometheus::Collectable {
 public:
  using Clock = std::chrono::steady_clock;

  // Makes the collector known (up 0, no age) before its first round.
  void add(const std::string& collector);
  // The end of a round that began at `start`: an empty `reason` is success.
  void finished(const std::string& collector, Clock::time_point start, const std::string& reason);
  // Values that arrive continuously (performance streams): the age restarts
  // without a round.
  void fresh(const std::string& collector);

  std::vector<prometheus::MetricFamily> Collect() const override;

  // Counts the reports above: it moves whenever a collector may have
  // changed a value.
  std::uint64_t changes() const noexcept { return changes_.load(std::memory_order_acquire); }

 private:
  struct State {
    bool up = false;
    double durationSeconds = 0;
    double errors = 0;
    bool collected = false;
    Clock::time_point lastSuccess;
    std::string reason;
  };
  mutable std::mutex mutex_;
  std::map<std::string, State> states_;
  std::atomic<std::uint64_t> changes_{0};
};

}  // namespace velmora::cli::serve
