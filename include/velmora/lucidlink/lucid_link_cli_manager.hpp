// Keeps one LucidLink client per running instance, keyed by the instance's
// standardized mount-point path, and tells observers when the set may have
// changed.
//
// A manager recalculates the set right after construction, then on a
// repeating timer whose first event comes at once (so two recalculations run
// at start-up), then every `updateInterval` seconds, and on `refresh()`.
// Recalculations run one at a time on the manager's access queue
// ("cliListAccessQueue"); timer events arrive on
// "lucidLinkCLIManager_timerQueue" and refresh requests on
// "lucidLinkCLIManager_observationQueue", each only handing a recalculation
// on. A recalculation runs "list", keeps the clients whose four listed fields
// are unchanged, and asks each new instance for its "Mount point" through
// "status"; an instance without one is retried next time. Notifications
// (`objectWillChange`) are sent on the main queue after the map has been
// updated: after every forced recalculation and after every one that may have
// changed the set. Nothing is thrown or logged.
//
// Choices made here:
//   - A manager is owned through std::shared_ptr (create()). Its queued tasks,
//     timer events and notifications refer to it weakly: dropping the last
//     owner stops the timer and frees the manager, and nothing queued touches
//     it afterwards. A recalculation in progress finishes first.
//   - correspondingCLIFor() matches whole path components: a key serves the
//     path equal to it and the paths below it ("/Volumes/Alpha" does not serve
//     "/Volumes/Alpha2/file"); when several keys do, the longest wins.
//   - An update interval that is not a positive finite number gives no
//     repeating events (only the start-up recalculations and refresh());
//     intervals below a millisecond are raised to one.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "velmora/change_publisher.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

class LucidLinkCLIManager : public std::enable_shared_from_this<LucidLinkCLIManager> {
 public:
  // A running manager: its first recalculation and its timer are queued.
  static std::shared_ptr<LucidLinkCLIManager> create(double updateInterval,
                                                     std::string launchPath = kDefaultLucidLaunchPath);
  virtual ~LucidLinkCLIManager();

  LucidLinkCLIManager(const LucidLinkCLIManager&) = delete;
  LucidLinkCLIManager& operator=(const LucidLinkCLIManager&) = delete;

  // A snapshot of the current clients. Waits for a recalculation in progress.
  // Must not be called from the manager's own queues.
  virtual std::vector<std::shared_ptr<LucidLinkCLIUtility>> clis() const;

  // The client whose mount point is `url` or contains it, after `url` has
  // been standardized; nullptr when there is none.
  virtual std::shared_ptr<LucidLinkCLIUtility> correspondingCLIFor(const std::filesystem::path& url) const;

  // Queues one forced recalculation (always followed by a notification) and
  // returns at once. Requests are not merged.
  virtual void refresh();

  ChangePublisher& objectWillChange() noexcept { return objectWillChange_; }

  double updateInterval() const noexcept { return updateInterval_; }
  const std::string& launchPath() const noexcept { return launchPath_; }

 protected:
  LucidLinkCLIManager(double updateInterval, std::string launchPath);

 private:
  void start();
  void startRecalculationTimer();
  void recalculateCLIs(bool force);

  struct Queues;
  double updateInterval_;
  std::string launchPath_;
  ChangePublisher objectWillChange_;
  std::unique_ptr<Queues> queues_;
};

}  // namespace velmora
