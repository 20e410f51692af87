// The manager against the tool simulator, whose instance set the tests
// change while the manager runs.
#include "velmora/lucidlink/lucid_link_cli_manager.hpp"

#include <atomic>
#include <cerrno>
#include <future>
#include <thread>

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::SimulatedTool;

constexpr double kNoTimer = 3600;  // only the start-up events and refresh()

const SimulatedTool::Instance kAlpha{"2001", "alpha.fs", "7778", "live", "/Volumes/Alpha"};
const SimulatedTool::Instance kBeta{"2002", "beta.fs", "7779", "live", "/Volumes/Beta"};

// A manager started against a simulator of its own that lists `instances`,
// once both start-up recalculations have run (the second finds nothing new);
// counts the manager's notifications.
class Managed {
 public:
  explicit Managed(const std::vector<SimulatedTool::Instance>& instances, double interval = kNoTimer) {
    tool.setInstances(instances);
    manager = LucidLinkCLIManager::create(interval, tool.path());
    subscription = manager->objectWillChange().subscribe([this] { ++notifications; });
    EXPECT_TRUE(test::eventually([&] { return tool.callCount("list") >= 2; }));
  }
  // Cancelling does not wait for a notification being delivered: the main
  // queue finishes it before the counter goes away.
  ~Managed() {
    subscription.cancel();
    test::drainMainQueue();
  }
  // Once every queued recalculation has run (clis() waits for the access
  // queue) and its notification has been delivered.
  int settledNotifications() {
    manager->clis();
    test::drainMainQueue();
    return notifications.load();
  }
  // Refreshes and waits until the refresh has listed the instances.
  void refreshed() {
    const int calls = tool.callCount("list");
    manager->refresh();
    ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") > calls; }));
  }

  SimulatedTool tool;
  std::shared_ptr<LucidLinkCLIManager> manager;
  std::atomic<int> notifications{0};
  ChangePublisher::Subscription subscription;
};

std::vector<std::string> instanceIDs(const std::vector<std::shared_ptr<LucidLinkCLIUtility>>& clients) {
  std::vector<std::string> ids;
  for (const auto& client : clients) ids.push_back(client->instanceID().value_or("?"));
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(LucidLinkCLIManager, StartsWithTwoRecalculationsAndRefreshAlwaysNotifies) {
  Managed m({kAlpha, kBeta});
  EXPECT_EQ(m.settledNotifications(), 1);
  EXPECT_EQ(m.tool.callCount("list"), 2);
  EXPECT_EQ(instanceIDs(m.manager->clis()), (std::vector<std::string>{"2001", "2002"}));
  m.refreshed();  // nothing changed, and yet one notification
  EXPECT_EQ(m.settledNotifications(), 2);
  EXPECT_EQ(m.tool.callCount("status"), 2);  // kept clients are not asked again
}

// Timer events notify only when the map changes: one of two instances going
// away, a broken table or a vanished tool (which empty it).
TEST(LucidLinkCLIManager, TimerEventsNotifyOnlyWhenTheMapChanges) {
  Managed m({kAlpha, kBeta}, 0.2);
  auto timerEvents = [&](int count) {
    const int calls = m.tool.callCount("list");
    return test::eventually([&] { return m.tool.callCount("list") >= calls + count; });
  };
  auto notified = [&](int count) { return test::eventually([&] { return m.notifications.load() >= count; }); };
  ASSERT_TRUE(timerEvents(2));
  EXPECT_EQ(m.settledNotifications(), 1);
  m.tool.setInstances({kAlpha});
  ASSERT_TRUE(notified(2));
  EXPECT_EQ(instanceIDs(m.manager->clis()), std::vector<std::string>{"2001"});
  m.tool.setOptions("broken-list");
  ASSERT_TRUE(notified(3));
  EXPECT_TRUE(m.manager->clis().empty());
  ASSERT_TRUE(timerEvents(2));
  EXPECT_EQ(m.settledNotifications(), 3);
  m.tool.setOptions("");
  ASSERT_TRUE(notified(4));
  EXPECT_EQ(m.manager->clis().size(), 1u);
  m.tool.remove();
  ASSERT_TRUE(notified(5));
  EXPECT_TRUE(m.manager->clis().empty());
  EXPECT_EQ(m.settledNotifications(), 5);
}

// A tool slower than the interval: the timer events meanwhile wait as one
// recalculation, not as a backlog that clis() would have to wait behind.
TEST(LucidLinkCLIManager, TimerEventsDuringASlowListingWaitAsOne) {
  Managed m({kAlpha}, 0.01);
  m.tool.setMisbehaviour("sleep 0.3");
  const int slow = m.tool.callCount("list");
  ASSERT_TRUE(test::eventually([&] { return m.tool.callCount("list") >= slow + 3; }));
  m.tool.setMisbehaviour("");
  const int fast = m.tool.callCount("list");
  m.manager->clis();
  EXPECT_LE(m.tool.callCount("list") - fast, 2);
}

TEST(LucidLinkCLIManager, ModeChangeReplacesTheClientUnderItsNewKey) {
  Managed m({kAlpha});
  const auto before = m.manager->correspondingCLIFor("/Volumes/Alpha");
  ASSERT_NE(before, nullptr);
  auto changed = kAlpha;
  changed.mode = "cache";
  changed.mountPoint = "/Volumes/AlphaCache";
  m.tool.setInstances({changed});
  m.refreshed();
  EXPECT_EQ(m.manager->correspondingCLIFor("/Volumes/Alpha/file"), nullptr);
  const auto after = m.manager->correspondingCLIFor("/Volumes/AlphaCache/file");
  ASSERT_NE(after, nullptr);
  EXPECT_NE(after, before);
  EXPECT_EQ(after->fsInfo()->mode, "cache");
  EXPECT_EQ(before->fsInfo()->mode, "live");  // a caller's old client stays usable
}

TEST(LucidLinkCLIManager, InstanceWithoutMountPointIsRetriedAndNotifiesEveryTime) {
  auto unmounted = kBeta;
  unmounted.mountPoint = "";
  Managed m({kAlpha, unmounted});
  EXPECT_EQ(m.settledNotifications(), 2);  // both start-up recalculations saw a new instance
  EXPECT_EQ(instanceIDs(m.manager->clis()), (std::vector<std::string>{"2001"}));
  m.refreshed();
  EXPECT_EQ(m.settledNotifications(), 3);
  EXPECT_EQ(m.tool.callCount("status"), 4);  // alpha once, beta on every recalculation
}

// Within one recalculation the later listed instance replaces the earlier
// one; the next finds the earlier one new again, so the key changes hands
// on every recalculation, each one notifying.
TEST(LucidLinkCLIManager, SharedMountPointKeepsTheLaterListedInstance) {
  auto twin = kBeta;
  twin.mountPoint = kAlpha.mountPoint;
  Managed m({kAlpha, twin});
  EXPECT_EQ(instanceIDs(m.manager->clis()), std::vector<std::string>{"2001"});  // after the second recalculation
  m.refreshed();
  EXPECT_EQ(instanceIDs(m.manager->clis()), std::vector<std::string>{"2002"});
  EXPECT_EQ(m.settledNotifications(), 3);
}

// Whole path components, the longest mount point first. Symbolic links are
// not followed, a relative mount point serves nothing (rather than whatever
// lies below the current directory), and mount points match paths whatever
// their Unicode normalization form.
TEST(LucidLinkCLIManager, CorrespondingCLIMatchesWholePathComponentsLongestFirst) {
  const auto folder = std::filesystem::temp_directory_path() / ("velmora-links-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder / "real");
  std::filesystem::remove(folder / "link");
  std::filesystem::create_directory_symlink(folder / "real", folder / "link");
  Managed m({{"1", "a", "1", "live", "/Volumes/Alpha"},
             {"2", "b", "2", "live", "/Volumes/Alpha/Nested"},
             {"3", "c", "3", "live", "/"},
             {"4", "d", "4", "live", (folder / "real").string()},
             {"5", "e", "5", "live", "relative/folder"},
             {"6", "f", "6", "live", "/Volumes/Cafe\u0301"},    // NFD
             {"7", "g", "7", "live", "/Volumes/Na\u00efve"}});  // NFC
  EXPECT_EQ(instanceIDs(m.manager->clis()), (std::vector<std::string>{"1", "2", "3", "4", "6", "7"}));
  const std::pair<std::string, const char*> cases[] = {
      {"/Volumes/Alpha", "1"},
      {"/Volumes/Alpha/", "1"},
      {"/Volumes/Alpha/file.txt", "1"},
      {"/Volumes/Alpha/Nested/deep/file", "2"},
      {"/Volumes/Alpha/NestedNot", "1"},
      {"/Volumes/Alpha2/file", "3"},
      {"/Volumes/Other/../Alpha/./x", "1"},
      {"/elsewhere", "3"},
      {(folder / "real" / "f").string(), "4"},
      {(folder / "link" / "f").string(), "3"},
      {(std::filesystem::current_path() / "relative/folder/f").string(), "3"},
      {"/Volumes/Caf\u00e9/file", "6"},
      {"/Volumes/Nai\u0308ve/file", "7"},
  };
  for (const auto& [path, instance] : cases) {
    const auto client = m.manager->correspondingCLIFor(path);
    ASSERT_NE(client, nullptr) << path;
    EXPECT_EQ(client->instanceID(), instance) << path;
  }
  std::filesystem::remove_all(folder);
}

// A performance receiver that asks the manager for its clients while a
// recalculation drops (and so destroys) the client running that run: the
// recalculation stops the run while the callback waits for the recalculation.
class AskingTheManager : public LucidLinkPerformanceUpdateReciever {
 public:
  explicit AskingTheManager(std::weak_ptr<LucidLinkCLIManager> m) : manager(std::move(m)) {}
  void didReceivePerfUpdate(const LucidPerfUpdate&) override {
    if (auto live = manager.lock()) (void)live->clis();
  }
  void didEndPerfRun(std::int32_t, const LucidPerfRunEnd& end) override {
    ended.set_value(end.reason);
  }
  std::weak_ptr<LucidLinkCLIManager> manager;
  std::promise<LucidPerfRunEnd::Reason> ended;
};

TEST(LucidLinkCLIManager, DroppingAClientWhoseReceiverAsksTheManagerDoesNotDeadlock) {
  test::withWatchdog("dropping a client whose receiver asks the manager", [] {
    for (int round = 0; round < 10; ++round) {
      Managed m({kAlpha});
      m.tool.setOptions("perf-rate=500");
      auto receiver = std::make_shared<AskingTheManager>(m.manager);
      auto ended = receiver->ended.get_future();
      m.manager->clis().at(0)->runPerf(LucidPerfQuery({{LucidDataLayer::all, std::vector<LucidPerfMetric>{}}}), receiver);
      m.tool.setInstances({});
      m.manager->refresh();
      EXPECT_EQ(ended.get(), LucidPerfRunEnd::Reason::stopped);
      EXPECT_TRUE(m.manager->clis().empty());
    }
  });
}

TEST(LucidLinkCLIManager, DroppingTheManagerStopsItAndFreesIt) {
  SimulatedTool tool;
  tool.setInstances({kAlpha});
  auto manager = LucidLinkCLIManager::create(0.02, tool.path());
  std::weak_ptr<LucidLinkCLIManager> weak = manager;
  auto subscription = manager->objectWillChange().subscribe([] {});
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") >= 3; }));
  manager.reset();
  ASSERT_TRUE(test::eventually([&] { return weak.expired(); }));  // a recalculation in progress finishes first
  const int calls = tool.callCount("list");
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(tool.callCount("list"), calls);
  test::drainMainQueue();
}

// A listing tool that hangs holds up neither a stop nor a teardown: either
// ends it (clis() after stop() waits for that), and no other tool starts.
TEST(LucidLinkCLIManager, StopOrTeardownEndsAHangingToolAndStartsNoOther) {
  const auto noChildLeft = [] {
    siginfo_t child{};
    return ::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
  };
  for (const bool teardown : {false, true}) {
    SimulatedTool tool;
    tool.setInstances({kAlpha});
    tool.setMisbehaviour("forever");
    auto manager = LucidLinkCLIManager::create(0.01, tool.path());
    ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") == 1; }));
    if (teardown) {
      manager.reset();
      EXPECT_TRUE(test::eventually(noChildLeft));
    } else {
      manager->stop();
      EXPECT_TRUE(manager->clis().empty());
      EXPECT_TRUE(noChildLeft());
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(tool.callCount("list"), 1);
  }
}

TEST(LucidLinkCLIManager, DroppingTheManagerRightAfterCreationIsSafe) {
  SimulatedTool tool;
  tool.setInstances({kAlpha});
  for (int i = 0; i < 20; ++i) {
    auto manager = LucidLinkCLIManager::create(0.001, tool.path());
    if (i % 2) manager->refresh();
  }
  test::drainMainQueue();
}

}  // namespace
}  // namespace velmora
