#include "serve/scrape_body.hpp"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

namespace velmora::cli::serve {

bool ScrapeBody::fresh(const Kept& kept, Clock::time_point now) const {
  if (!kept.text) return false;
  const auto age = now - kept.made;
  return age < kLongest && (age < kShortest || kept.changes == collectors_.changes());
}

ScrapeBody::Kept ScrapeBody::kept() const {
  std::shared_lock lock(mutex_);
  return kept_;
}

std::shared_ptr<const std::string> ScrapeBody::text() {
  Kept last = kept();
  if (fresh(last, Clock::now())) return last.text;
  std::unique_lock writing(writing_, std::try_to_lock);
  if (!writing.owns_lock()) {
    if (last.text) return last.text;  // another scrape is writing the new one
    writing.lock();
  }
  // Another scrape may have written it while this one waited.
  last = kept();
  if (fresh(last, Clock::now())) return last.text;
  // Counted before collecting: a change during the collection makes the
  // next scrape write it again.
  const std::uint64_t changes = collectors_.changes();
  std::vector<prometheus::MetricFamily> families;
  for (const auto& source : sources_) {
    auto collected = source->Collect();
    families.insert(families.end(), std::make_move_iterator(collected.begin()), std::make_move_iterator(collected.end()));
  }
  auto text = std::make_shared<const std::string>(prometheus::TextSerializer().Serialize(families));
  std::unique_lock lock(mutex_);
  kept_ = {text, changes, Clock::now()};
  return text;
}

}  // namespace velmora::cli::serve
