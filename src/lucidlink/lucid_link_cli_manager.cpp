#include "velmora/lucidlink/lucid_link_cli_manager.hpp"

#include <atomic>
#include <map>
#include <optional>

#include "lucidlink/instance_discovery.hpp"
#include "lucidlink/paths.hpp"
#include "platform/serial_queue.hpp"

namespace velmora {

// Torn down in reverse order: the timer first, then the queues that only
// hand work on, then the access queue, and the map last.
struct LucidLinkCLIManager::State {
  std::map<std::string, std::shared_ptr<LucidLinkCLIUtility>> allCLIs;  // owned by accessQueue
  platform::SerialQueue accessQueue{"cliListAccessQueue"};
  platform::SerialQueue observationQueue{"lucidLinkCLIManager_observationQueue"};
  platform::SerialQueue timerQueue{"lucidLinkCLIManager_timerQueue"};
  std::unique_ptr<platform::RepeatingTimer> recalculationTimer;  // owned by observationQueue
  // A timer event finds one already waiting on the access queue when the
  // tool is slower than the interval; it adds nothing then, so that no
  // backlog builds up for clis() to wait behind.
  std::atomic<bool> timedRecalculationWaiting{false};
};

LucidLinkCLIManager::LucidLinkCLIManager(double updateInterval, std::string launchPath)
    : updateInterval_(updateInterval), launchPath_(std::move(launchPath)), state_(std::make_unique<State>()) {}

std::shared_ptr<LucidLinkCLIManager> LucidLinkCLIManager::create(double updateInterval, std::string launchPath) {
  std::shared_ptr<LucidLinkCLIManager> manager(new LucidLinkCLIManager(updateInterval, std::move(launchPath)));
  manager->start();
  return manager;
}

LucidLinkCLIManager::~LucidLinkCLIManager() {
  // Tasks still queued find the manager gone and do nothing.
  if (state_->recalculationTimer) state_->recalculationTimer->cancel();
}

void LucidLinkCLIManager::start() {
  std::weak_ptr<LucidLinkCLIManager> weak = weak_from_this();
  state_->accessQueue.async([weak] {
    if (auto self = weak.lock()) self->recalculateCLIs(false);
  });
  state_->observationQueue.async([weak] {
    if (auto self = weak.lock()) self->startRecalculationTimer();
  });
}

void LucidLinkCLIManager::startRecalculationTimer() {
  std::weak_ptr<LucidLinkCLIManager> weak = weak_from_this();
  state_->recalculationTimer =
      std::make_unique<platform::RepeatingTimer>(state_->timerQueue, updateInterval_, [weak] {
        auto self = weak.lock();
        if (!self || self->state_->timedRecalculationWaiting.exchange(true)) return;
        self->state_->accessQueue.async([weak] {
          auto again = weak.lock();
          if (!again) return;
          again->state_->timedRecalculationWaiting.store(false);
          again->recalculateCLIs(false);
        });
      });
}

void LucidLinkCLIManager::refresh() {
  std::weak_ptr<LucidLinkCLIManager> weak = weak_from_this();
  state_->observationQueue.async([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->state_->accessQueue.async([weak] {
      if (auto again = weak.lock()) again->recalculateCLIs(true);
    });
  });
}

void LucidLinkCLIManager::recalculateCLIs(bool force) {
  auto& map = state_->allCLIs;
  bool changed = false;

  std::vector<LucidFileSpaceInfo> listed;
  try {
    listed = LucidLinkCLIUtility::listAllFilespaces(launchPath_);
  } catch (...) {
    listed.clear();  // the tool is missing or its table does not parse
  }

  if (listed.empty()) {
    if (!map.empty()) {
      map.clear();
      changed = true;
    }
  } else {
    std::map<std::string, std::shared_ptr<LucidLinkCLIUtility>> kept;
    std::vector<LucidFileSpaceInfo> fresh;
    for (const auto& record : listed) {
      bool found = false;
      for (const auto& [key, client] : map) {
        if (client->fsInfo() == record) {
          kept.emplace(key, client);
          found = true;
          break;
        }
      }
      if (!found) fresh.push_back(record);
    }
    changed = !fresh.empty() || kept.size() != map.size();
    map = std::move(kept);

    for (const auto& record : fresh) {
      auto client = std::make_shared<LucidLinkCLIUtility>(launchPath_, record);
      // Keyed by its standardized mount point in one normalization form, so
      // that lookups match whatever form a path comes in; without a mount
      // point it is retried next time.
      if (auto mounted = detail::reportedMountPoint(*client)) {
        map.insert_or_assign(detail::normalizedForComparison(mounted->string()), std::move(client));
      }
    }
  }

  if (force || changed) {
    std::weak_ptr<LucidLinkCLIManager> weak = weak_from_this();
    platform::mainQueueAsync([weak] {
      if (auto self = weak.lock()) self->objectWillChange_.send();
    });
  }
}

std::vector<std::shared_ptr<LucidLinkCLIUtility>> LucidLinkCLIManager::clis() const {
  return state_->accessQueue.sync([this] {
    std::vector<std::shared_ptr<LucidLinkCLIUtility>> list;
    list.reserve(state_->allCLIs.size());
    for (const auto& [key, client] : state_->allCLIs) list.push_back(client);
    return list;
  });
}

std::shared_ptr<LucidLinkCLIUtility> LucidLinkCLIManager::correspondingCLIFor(const std::filesystem::path& url) const {
  const std::string path = detail::normalizedForComparison(detail::standardizedFilePath(url).string());
  return state_->accessQueue.sync([this, &path] {
    std::shared_ptr<LucidLinkCLIUtility> best;
    std::size_t bestLength = 0;
    for (const auto& [key, client] : state_->allCLIs) {
      if (detail::isAtOrBelow(key, path) && (!best || key.size() > bestLength)) {
        best = client;
        bestLength = key.size();
      }
    }
    return best;
  });
}

}  // namespace velmora
