// The text a scrape of /metrics answers with, serialized once for many
// scrapes.
//
// Collecting every series and writing them out costs far more than sending
// the text, and 50 scrapers asking at once would do it 50 times over, one
// after the other on a small machine. So the body is kept, and a scrape
// sends the kept text while it is younger than a second. When values have
// changed since it was written (the collectors say when), and it is older
// than 100 ms, the scrape still sends it and asks a thread of this class to
// write the next one, so that no scrape waits for a serialization. A body
// older than a second (nobody scraped for that long) is written by the
// scrape that finds it, while scrapes at the same moment send the old one:
// the collectors' ages are thus true to within about a second, and nothing
// is written while nobody scrapes.
//
// The text is written here rather than by prometheus-cpp's serializer, which
// prints 16 significant digits: not every value reads back the same, and one
// near the largest double reads back out of range, which makes Prometheus
// reject the whole scrape. Here each value is the shortest text that reads
// back to it (NaN, +Inf, -Inf as such), and a family without samples is left
// out. Gauges and counters only, as the exporter has (others as untyped).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include "serve/collectors.hpp"

namespace velmora::cli::serve {

// The text exposition format 0.0.4 of `families`.
std::string exposition(const std::vector<prometheus::MetricFamily>& families);

class ScrapeBody {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kShortest{100};
  static constexpr std::chrono::milliseconds kLongest{1000};

  // Serializes `sources` in order; `collectors` (one of them) tells when
  // values change.
  ScrapeBody(std::vector<std::shared_ptr<prometheus::Collectable>> sources, const Collectors& collectors);
  ~ScrapeBody();  // waits for a body being written

  ScrapeBody(const ScrapeBody&) = delete;
  ScrapeBody& operator=(const ScrapeBody&) = delete;

  // The text exposition of every source. Any thread.
  std::shared_ptr<const std::string> text();

 private:
  struct Kept {
    std::shared_ptr<const std::string> text;
    std::uint64_t changes = 0;
    Clock::time_point made;
  };
  Kept kept() const;
  std::shared_ptr<const std::string> write();  // under writing_
  void refresh();

  const std::vector<std::shared_ptr<prometheus::Collectable>> sources_;
  const Collectors& collectors_;
  std::mutex writing_;  // one body is written at a time
  mutable std::mutex mutex_;  // guards the three below
  std::condition_variable asked_;
  Kept kept_;
  bool wanted_ = false;  // the refresher is to write the next body
  bool stopping_ = false;
  std::thread refresher_;
};

}  // namespace velmora::cli::serve
