#include "velmora/change_publisher.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "isolated_call.hpp"

namespace velmora {

struct ChangePublisher::Subscription::Entry {
  std::atomic<bool> active{true};
  // Never changed after subscribe(), so that a call in progress can use it
  // while the token is being cancelled; it goes with the last reference.
  const std::function<void()> callback;
  explicit Entry(std::function<void()> c) : callback(std::move(c)) {}
};

struct ChangePublisher::Subscribers {
  std::mutex mutex;
  std::vector<std::weak_ptr<Subscription::Entry>> entries;
};

void ChangePublisher::Subscription::cancel() noexcept {
  if (!entry_) return;
  entry_->active = false;
  entry_.reset();
}

ChangePublisher::ChangePublisher() : subscribers_(std::make_shared<Subscribers>()) {}

ChangePublisher::Subscription ChangePublisher::subscribe(std::function<void()> callback) {
  auto entry = std::make_shared<Subscription::Entry>(std::move(callback));
  std::lock_guard lock(subscribers_->mutex);
  std::erase_if(subscribers_->entries, [](const auto& weak) { return weak.expired(); });
  subscribers_->entries.push_back(entry);
  return Subscription(std::move(entry));
}

void ChangePublisher::send() {
  std::vector<std::shared_ptr<Subscription::Entry>> live;
  {
    std::lock_guard lock(subscribers_->mutex);
    for (const auto& weak : subscribers_->entries) {
      if (auto entry = weak.lock()) live.push_back(std::move(entry));
    }
  }
  for (const auto& entry : live) {
    if (entry->active && entry->callback) detail::callIsolated("change subscriber", entry->callback);
  }
}

}  // namespace velmora
