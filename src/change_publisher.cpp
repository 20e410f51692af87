#include "velmora/change_publisher.hpp"

#include <algorithm>

namespace velmora {

struct ChangePublisher::Subscription::Entry {
  std::recursive_mutex calling;  // held during a call, so cancel() waits for it
  bool active = true;            // guarded by `calling`
  std::function<void()> callback;
};

struct ChangePublisher::Subscribers {
  std::mutex mutex;
  std::vector<std::weak_ptr<Subscription::Entry>> entries;
};

void ChangePublisher::Subscription::cancel() noexcept {
  if (!entry_) return;
  {
    std::lock_guard lock(entry_->calling);
    entry_->active = false;
  }
  entry_.reset();
}

ChangePublisher::ChangePublisher() : subscribers_(std::make_shared<Subscribers>()) {}

ChangePublisher::Subscription ChangePublisher::subscribe(std::function<void()> callback) {
  auto entry = std::make_shared<Subscription::Entry>();
  entry->callback = std::move(callback);
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
    std::lock_guard lock(entry->calling);
    if (entry->active) entry->callback();
  }
}

}  // namespace velmora
