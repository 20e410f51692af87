// The text a scrape of /metrics answers with, serialized once for many
// scrapes.
//
// Collecting every series and writing them out costs far more than sending
// the text, and 50 scrapers asking at once would do it 50 times over,
// one after the other on a small machine. So the body is kept: a scrape
// sends the kept text when the values have not changed since it was made
// (the collectors say when they have), and when they have, the first
// scrape writes it afresh while the others send the previous one rather
// than wait. Values arrive many times a second (each performance stream's
// samples), so a body is kept for 100 ms at least, and 1 s at most, so that
// the collectors' ages stay true to within a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include <prometheus/collectable.h>

#include "serve/collectors.hpp"

namespace velmora::cli::serve {

class ScrapeBody {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kShortest{100};
  static constexpr std::chrono::milliseconds kLongest{1000};

  // Serializes `sources` in order; `collectors` (one of them) tells when
  // values change.
  ScrapeBody(std::vector<std::shared_ptr<prometheus::Collectable>> sources, const Collectors& collectors)
      : sources_(std::move(sources)), collectors_(collectors) {}

  // The text exposition of every source, as of at most kLongest ago. Any
  // thread; never holds a lock while another scrape sends its answer.
  std::shared_ptr<const std::string> text();

 private:
  struct Kept {
    std::shared_ptr<const std::string> text;
    std::uint64_t changes = 0;
    Clock::time_point made;
  };
  bool fresh(const Kept& kept, Clock::time_point now) const;
  Kept kept() const;

  const std::vector<std::shared_ptr<prometheus::Collectable>> sources_;
  const Collectors& collectors_;
  std::mutex writing_;  // one scrape writes a new body at a time
  mutable std::shared_mutex mutex_;  // guards kept_
  Kept kept_;
};

}  // namespace velmora::cli::serve
