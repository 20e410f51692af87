/// @file
/// Keeps one LucidLink client per running instance, keyed by the instance's
/// standardized mount-point path, and tells observers when the set may have
/// changed.
///
/// A manager recalculates the set right after construction, then on a
/// repeating timer whose first event comes at once (so two recalculations run
/// at start-up), then every `updateInterval` seconds, and on `refresh()`.
/// Events missed while the process stalled coalesce into one. Recalculations
/// run one at a time on the manager's access queue; each runs "list", keeps
/// the clients whose four listed fields are unchanged, and asks each new
/// instance for its "Mount point" through "status" (an instance without an
/// absolute one is left out and retried next time). Nothing is thrown or
/// logged.
///
/// What a caller may rely on:
///   - Notifications (`objectWillChange`) come on the main queue after the
///     map has been updated: after every forced recalculation and after every
///     one that may have changed the set.
///   - clis() and correspondingCLIFor() wait for a recalculation in progress
///     (which runs only the tool, never a callback), so they may be called
///     from any thread and from any callback of the library.
///   - Queued work, timer events and notifications hold the manager weakly,
///     and a recalculation in progress holds only what it works on: dropping
///     the last owner is a stop() that also cancels the timer, and frees the
///     manager at once; the recalculation in progress ends once its tool is
///     gone. Clients handed out live on.
///   - A key serves the path equal to it and the paths below it, by whole
///     components and Unicode normalization aside ("/Volumes/Alpha" does not
///     serve "/Volumes/Alpha2/file"); when several keys do, the longest wins.
///   - An update interval that is not a positive finite number gives no
///     repeating events; intervals below a millisecond are raised to one,
///     and those above 10^9 seconds are cut to that.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "velmora/change_publisher.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

/// Keeps one client per running instance; see the file's description.
class LucidLinkCLIManager final : public std::enable_shared_from_this<LucidLinkCLIManager> {
 public:
  /// A running manager: its first recalculation and its timer are queued.
  static std::shared_ptr<LucidLinkCLIManager> create(double updateInterval,
                                                     std::string launchPath = kDefaultLucidLaunchPath);
  ~LucidLinkCLIManager();

  LucidLinkCLIManager(const LucidLinkCLIManager&) = delete;
  LucidLinkCLIManager& operator=(const LucidLinkCLIManager&) = delete;

  /// A snapshot of the current clients. Waits for a recalculation in progress.
  /// Must not be called from the manager's own queues.
  std::vector<std::shared_ptr<LucidLinkCLIUtility>> clis() const;

  /// The client whose mount point is `url` or contains it, after `url` has
  /// been standardized; nullptr when there is none.
  std::shared_ptr<LucidLinkCLIUtility> correspondingCLIFor(const std::filesystem::path& url) const;

  /// Queues one forced recalculation (always followed by a notification) and
  /// returns at once. Requests are not merged.
  void refresh();

  /// Stops the manager for good: a tool that a recalculation is running is
  /// sent SIGTERM (SIGKILL 3 seconds later), no recalculation starts another
  /// or changes the set, and no notification follows. Returns at once; any
  /// thread, callbacks included. To know that the tool is gone, call clis()
  /// afterwards: it waits for the recalculation in progress.
  void stop() noexcept;

  /// Sent on the main queue after the set may have changed.
  ChangePublisher& objectWillChange() noexcept { return objectWillChange_; }

  /// As given, in seconds.
  double updateInterval() const noexcept { return updateInterval_; }
  /// The tool's path.
  const std::string& launchPath() const noexcept { return launchPath_; }

 private:
  LucidLinkCLIManager(double updateInterval, std::string launchPath);

  struct State;
  void start();
  void startRecalculationTimer();
  static void recalculateCLIs(State& state, bool force, const std::weak_ptr<LucidLinkCLIManager>& manager);

  double updateInterval_;
  std::string launchPath_;
  ChangePublisher objectWillChange_;
  std::shared_ptr<State> state_;
};

}  // namespace velmora
