#include "velmora/lucidlink/lucid_link_cli_manager.hpp"

#include <atomic>
#include <map>
#include <optional>

#include "lucidlink/instance_discovery.hpp"
#include "lucidlink/paths.hpp"
#include "platform/serial_queue.hpp"

namespace velmora {

// Torn down in reverse order: the timer first, then the queues that only
// hand work on, then the access queue, and the map last. A recalculation in
// progress holds the state, not the manager, so that dropping the manager
// can stop its tool.
struct LucidLinkCLIManager::State {
  explicit State(std::string path) : launchPath(std::move(path)) {}
  const std::string launchPath;
  // Every tool a recalculation runs; stop() signals it, and none starts after.
  const std::shared_ptr<CLIRunControl> tools = std::make_shared<CLIRunControl>();
  std::map<std::string, std::shared_ptr<LucidLinkCLIUtility>> allCLIs;  // owned by accessQueue
  platform::SerialQueue accessQueue{"cliListAccessQueue"};
  platform::SerialQueue observationQueue{"lucidLinkCLIManager_observationQueue"};
  platform::SerialQueue timerQueue{"lucidLinkCLIManager_timerQueue"};
  std::unique_ptr<platform::RepeatingTimer> recalculationTimer;  // owned by observationQueue
  // A timer event finds one already waiting on the access queue when the
  // tool is slower than the interval; it adds nothing then, so that no
  // backlog builds up for clis() to wait behind.
  std::atomic<bool> timedRecalculationWaiting{false};

  bool stopped() const noexcept { return tools->signalSent() != 0; }
};

LucidLinkCLIManager::LucidLinkCLIManager(double updateInterval, std::string launchPath)
    : updateInterval_(updateInterval), launchPath_(launchPath), state_(std::make_shared<State>(std::move(launchPath))) {}

std::shared_ptr<LucidLinkCLIManager> LucidLinkCLIManager::create(double updateInterval, std::string launchPath) {
  std::shared_ptr<LucidLinkCLIManager> manager(new LucidLinkCLIManager(updateInterval, std::move(launchPath)));
  manager->start();
  return manager;
}

LucidLinkCLIManager::~LucidLinkCLIManager() {
  // Tasks still queued find the manager stopped and do nothing.
  stop();
  if (state_->recalculationTimer) state_->recalculationTimer->cancel();
}

void LucidLinkCLIManager::stop() noexcept { state_->tools->stop(); }

void LucidLinkCLIManager::start() {
  std::weak_ptr<LucidLinkCLIManager> weak = weak_from_this();
  std::weak_ptr<State> weakState = state_;
  state_->accessQueue.async([weak, weakState] {
    if (auto state = weakState.lock()) recalculateCLIs(*state, false, weak);
  });
  state_->observationQueue.async([weak] {
    if (auto self = weak.lock()) self->startRecalculationTimer();
  });
}

void LucidLinkCLIManager::startRecalculationTimer() {
  std::weak_ptr<LucidLinkCLIManager> weak = weak_from_this();
  std::weak_ptr<State> weakState = state_;
  state_->recalculationTimer =
      std::make_unique<platform::RepeatingTimer>(state_->timerQueue, updateInterval_, [weak, weakState] {
        auto state = weakState.lock();
        if (!state || state->stopped() || state->timedRecalculationWaiting.exchange(true)) return;
        state->accessQueue.async([weak, weakState] {
          auto again = weakState.lock();
          if (!again) return;
          again->timedRecalculationWaiting.store(false);
          recalculateCLIs(*again, false, weak);
        });
      });
}

void LucidLinkCLIManager::refresh() {
  std::weak_ptr<LucidLinkCLIManager> weak = weak_from_this();
  std::weak_ptr<State> weakState = state_;
  state_->observationQueue.async([weak, weakState] {
    auto state = weakState.lock();
    if (!state) return;
    state->accessQueue.async([weak, weakState] {
      if (auto again = weakState.lock()) recalculateCLIs(*again, true, weak);
    });
  });
}

void LucidLinkCLIManager::recalculateCLIs(State& state, bool force, const std::weak_ptr<LucidLinkCLIManager>& manager) {
  if (state.stopped()) return;
  auto& map = state.allCLIs;
  bool changed = false;

  std::vector<LucidFileSpaceInfo> listed;
  try {
    listed = detail::listAllFilespaces(state.launchPath, state.tools);
  } catch (...) {
    listed.clear();  // the tool is missing or its table does not parse
  }
  if (state.stopped()) return;  // the listing was cut short: it says nothing

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
      auto client = std::make_shared<LucidLinkCLIUtility>(state.launchPath, record);
      // Keyed by its standardized mount point in one normalization form, so
      // that lookups match whatever form a path comes in; without a mount
      // point it is retried next time. Only its status run is the manager's
      // to stop: the client handed out has no control.
      client->setRunControl(state.tools);
      auto mounted = detail::reportedMountPoint(*client);
      client->setRunControl(nullptr);
      if (mounted) map.insert_or_assign(detail::normalizedForComparison(mounted->string()), std::move(client));
    }
  }

  if ((force || changed) && !state.stopped()) {
    platform::mainQueueAsync([manager] {
      if (auto self = manager.lock()) self->objectWillChange_.send();
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
