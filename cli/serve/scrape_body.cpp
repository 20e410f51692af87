#include "serve/scrape_body.hpp"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

namespace velmora::cli::serve {

ScrapeBody::ScrapeBody(std::vector<std::shared_ptr<prometheus::Collectable>> sources, const Collectors& collectors)
    : sources_(std::move(sources)), collectors_(collectors), refresher_([this] { refresh(); }) {}

ScrapeBody::~ScrapeBody() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  asked_.notify_all();
  refresher_.join();
}

ScrapeBody::Kept ScrapeBody::kept() const {
  std::lock_guard lock(mutex_);
  return kept_;
}

std::shared_ptr<const std::string> ScrapeBody::write() {
  // Counted before collecting: a change during the collection makes the
  // next body be written again.
  const std::uint64_t changes = collectors_.changes();
  std::vector<prometheus::MetricFamily> families;
  for (const auto& source : sources_) {
    auto collected = source->Collect();
    families.insert(families.end(), std::make_move_iterator(collected.begin()), std::make_move_iterator(collected.end()));
  }
  auto text = std::make_shared<const std::string>(prometheus::TextSerializer().Serialize(families));
  std::lock_guard lock(mutex_);
  kept_ = {text, changes, Clock::now()};
  return text;
}

std::shared_ptr<const std::string> ScrapeBody::text() {
  Kept last = kept();
  auto age = Clock::now() - last.made;
  if (last.text && age < kLongest) {
    if (age >= kShortest && last.changes != collectors_.changes()) {
      {
        std::lock_guard lock(mutex_);
        wanted_ = true;
      }
      asked_.notify_one();
    }
    return last.text;
  }
  std::unique_lock writing(writing_, std::try_to_lock);
  if (!writing.owns_lock()) {
    if (last.text) return last.text;  // being written: the old one meanwhile
    writing.lock();
  }
  // It may have been written while this scrape waited.
  last = kept();
  age = Clock::now() - last.made;
  if (last.text && age < kLongest) return last.text;
  return write();
}

void ScrapeBody::refresh() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      asked_.wait(lock, [this] { return wanted_ || stopping_; });
      if (stopping_) return;
      wanted_ = false;
    }
    std::lock_guard writing(writing_);
    if (kept().changes != collectors_.changes()) write();
  }
}

}  // namespace velmora::cli::serve
