// The manager against the tool simulator, whose instance set the tests
// change while the manager runs.
#include "velmora/lucidlink/lucid_link_cli_manager.hpp"

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using test::SimulatedTool;

constexpr double kNoTimer = 3600;  // only the start-up events and refresh()

const SimulatedTool::Instance kAlpha{"2001", "alpha.fs", "7778", "live", "/Volumes/Alpha"};
const SimulatedTool::Instance kBeta{"2002", "beta.fs", "7779", "live", "/Volumes/Beta"};

// Counts notifications; waits for the manager to be idle before reading.
class Observed {
 public:
  explicit Observed(std::shared_ptr<LucidLinkCLIManager> m)
      : manager(std::move(m)), subscription(manager->objectWillChange().subscribe([this] { ++notifications; })) {}
  // Cancelling does not wait for a notification being delivered: let the
  // main queue finish it before the counter goes away.
  ~Observed() {
    subscription.cancel();
    test::drainMainQueue();
  }

  // The count once every queued recalculation has run and its notification
  // has been delivered.
  int settledNotifications() {
    manager->clis();  // waits for the access queue to reach this point
    test::drainMainQueue();
    return notifications.load();
  }

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

// Start-up runs two recalculations; the second finds nothing new.
void waitForStartUp(const SimulatedTool& tool) {
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") >= 2; }));
}

TEST(LucidLinkCLIManager, StartsWithTwoRecalculationsAndOneNotification) {
  SimulatedTool tool;
  tool.setInstances({kAlpha, kBeta});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  EXPECT_EQ(observed.settledNotifications(), 1);
  EXPECT_EQ(tool.callCount("list"), 2);
  EXPECT_EQ(tool.callCount("status"), 2);  // kept clients are not asked again
  EXPECT_EQ(instanceIDs(observed.manager->clis()), (std::vector<std::string>{"2001", "2002"}));
}

TEST(LucidLinkCLIManager, RefreshNotifiesExactlyOnceEvenWhenNothingChanged) {
  SimulatedTool tool;
  tool.setInstances({kAlpha});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  const int before = observed.settledNotifications();
  observed.manager->refresh();
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") == 3; }));
  EXPECT_EQ(observed.settledNotifications(), before + 1);
}

TEST(LucidLinkCLIManager, VanishedToolEmptiesTheMapWithOneNotification) {
  SimulatedTool tool;
  tool.setInstances({kAlpha});
  Observed observed(LucidLinkCLIManager::create(0.05, tool.path()));
  waitForStartUp(tool);
  ASSERT_EQ(observed.manager->clis().size(), 1u);
  const int before = observed.settledNotifications();
  tool.remove();
  ASSERT_TRUE(test::eventually([&] { return observed.manager->clis().empty(); }));
  std::this_thread::sleep_for(200ms);  // several more timer events with an empty map
  EXPECT_EQ(observed.settledNotifications(), before + 1);
}

TEST(LucidLinkCLIManager, BrokenTableEmptiesTheMap) {
  SimulatedTool tool;
  tool.setInstances({kAlpha});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  tool.setOptions("broken-list");
  observed.manager->refresh();
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") == 3; }));
  EXPECT_TRUE(observed.manager->clis().empty());
}

TEST(LucidLinkCLIManager, ModeChangeReplacesTheClientUnderItsNewKey) {
  SimulatedTool tool;
  tool.setInstances({kAlpha});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  const auto before = observed.manager->correspondingCLIFor("/Volumes/Alpha");
  ASSERT_NE(before, nullptr);

  auto changed = kAlpha;
  changed.mode = "cache";
  changed.mountPoint = "/Volumes/AlphaCache";
  tool.setInstances({changed});
  observed.manager->refresh();
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") == 3; }));

  EXPECT_EQ(observed.manager->correspondingCLIFor("/Volumes/Alpha/file"), nullptr);
  const auto after = observed.manager->correspondingCLIFor("/Volumes/AlphaCache/file");
  ASSERT_NE(after, nullptr);
  EXPECT_NE(after, before);
  EXPECT_EQ(after->fsInfo()->mode, "cache");
  EXPECT_EQ(before->fsInfo()->mode, "live");  // a caller's old client stays usable
}

TEST(LucidLinkCLIManager, InstanceWithoutMountPointIsRetriedAndNotifiesEveryTime) {
  SimulatedTool tool;
  auto unmounted = kBeta;
  unmounted.mountPoint = "";
  tool.setInstances({kAlpha, unmounted});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  EXPECT_EQ(observed.settledNotifications(), 2);  // both start-up recalculations saw a new instance
  EXPECT_EQ(instanceIDs(observed.manager->clis()), (std::vector<std::string>{"2001"}));
  observed.manager->refresh();
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") == 3; }));
  EXPECT_EQ(observed.settledNotifications(), 3);
  EXPECT_EQ(tool.callCount("status"), 4);  // alpha once, beta on every recalculation
}

TEST(LucidLinkCLIManager, SharedMountPointKeepsTheLaterListedInstance) {
  SimulatedTool tool;
  auto twin = kBeta;
  twin.mountPoint = kAlpha.mountPoint;
  tool.setInstances({kAlpha, twin});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  // Within one recalculation the later listed instance replaces the earlier
  // one; the next recalculation then finds the earlier one new again, and the
  // key changes hands on every recalculation (each one notifying).
  auto clients = observed.manager->clis();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients.front()->instanceID(), "2001");  // after the second start-up recalculation
  observed.manager->refresh();
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") == 3; }));
  clients = observed.manager->clis();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients.front()->instanceID(), "2002");
  EXPECT_EQ(observed.settledNotifications(), 3);
}

struct PathCase {
  const char* path;
  const char* instance;  // "" for none
};

TEST(LucidLinkCLIManager, CorrespondingCLIMatchesWholePathComponentsLongestFirst) {
  SimulatedTool tool;
  tool.setInstances({{"1", "a", "1", "live", "/Volumes/Alpha"},
                     {"2", "b", "2", "live", "/Volumes/Alpha/Nested"},
                     {"3", "c", "3", "live", "/"}});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  const PathCase cases[] = {
      {"/Volumes/Alpha", "1"},
      {"/Volumes/Alpha/", "1"},
      {"/Volumes/Alpha/file.txt", "1"},
      {"/Volumes/Alpha/Nested/deep/file", "2"},
      {"/Volumes/Alpha/NestedNot", "1"},
      {"/Volumes/Alpha2/file", "3"},
      {"/Volumes/Other/../Alpha/./x", "1"},
      {"/elsewhere", "3"},
  };
  for (const auto& c : cases) {
    const auto client = observed.manager->correspondingCLIFor(c.path);
    ASSERT_NE(client, nullptr) << c.path;
    EXPECT_EQ(client->instanceID(), c.instance) << c.path;
  }
}

TEST(LucidLinkCLIManager, CorrespondingCLIDoesNotFollowSymbolicLinks) {
  SimulatedTool tool;
  const auto folder = std::filesystem::temp_directory_path() / ("velmora-links-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder / "real");
  std::filesystem::remove(folder / "link");
  std::filesystem::create_directory_symlink(folder / "real", folder / "link");
  tool.setInstances({{"1", "a", "1", "live", (folder / "real").string()}});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  EXPECT_NE(observed.manager->correspondingCLIFor(folder / "real" / "f"), nullptr);
  EXPECT_EQ(observed.manager->correspondingCLIFor(folder / "link" / "f"), nullptr);
  EXPECT_EQ(observed.manager->correspondingCLIFor("/nowhere"), nullptr);
  std::filesystem::remove_all(folder);
}

// An instance must name an absolute mount point to be served: an empty or
// relative one would otherwise be taken from the current directory.
TEST(LucidLinkCLIManager, RelativeMountPointServesNothing) {
  SimulatedTool tool;
  tool.setInstances({{"1", "a", "1", "live", "relative/folder"}, kBeta});
  Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
  waitForStartUp(tool);
  EXPECT_EQ(instanceIDs(observed.manager->clis()), (std::vector<std::string>{"2002"}));
  EXPECT_EQ(observed.manager->correspondingCLIFor(std::filesystem::current_path() / "relative/folder/f"), nullptr);
}

TEST(LucidLinkCLIManager, MountPointsMatchWhateverTheirNormalizationForm) {
  const std::string composed = "/Volumes/Caf\u00e9";   // NFC
  const std::string decomposed = "/Volumes/Cafe\u0301";  // NFD
  for (const auto& [key, path] : {std::pair{decomposed, composed}, std::pair{composed, decomposed}}) {
    SimulatedTool tool;
    tool.setInstances({{"1", "a", "1", "live", key}});
    Observed observed(LucidLinkCLIManager::create(kNoTimer, tool.path()));
    waitForStartUp(tool);
    const auto client = observed.manager->correspondingCLIFor(path + "/file");
    ASSERT_NE(client, nullptr) << path;
    EXPECT_EQ(client->instanceID(), "1");
  }
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
  auto body = std::async(std::launch::async, [] {
    for (int round = 0; round < 10; ++round) {
      SimulatedTool tool;
      tool.setOptions("perf-rate=500");
      tool.setInstances({kAlpha});
      auto manager = LucidLinkCLIManager::create(kNoTimer, tool.path());
      waitForStartUp(tool);
      auto receiver = std::make_shared<AskingTheManager>(manager);
      auto ended = receiver->ended.get_future();
      manager->clis().at(0)->runPerf(LucidPerfQuery({{LucidDataLayer::all, std::vector<LucidPerfMetric>{}}}), receiver);
      tool.setInstances({});
      manager->refresh();
      EXPECT_EQ(ended.get(), LucidPerfRunEnd::Reason::stopped);
      EXPECT_TRUE(manager->clis().empty());
    }
  });
  if (body.wait_for(180s) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: dropping a client whose receiver asks the manager\n");
    std::abort();
  }
  body.get();
  test::drainMainQueue();
}

TEST(LucidLinkCLIManager, TimerEventsWithAnUnchangedSetSendNothing) {
  SimulatedTool tool;
  tool.setInstances({kAlpha});
  Observed observed(LucidLinkCLIManager::create(0.02, tool.path()));
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") >= 6; }));
  EXPECT_EQ(observed.settledNotifications(), 1);
}

TEST(LucidLinkCLIManager, DroppingTheManagerStopsItAndFreesIt) {
  SimulatedTool tool;
  tool.setInstances({kAlpha});
  auto manager = LucidLinkCLIManager::create(0.02, tool.path());
  std::weak_ptr<LucidLinkCLIManager> weak = manager;
  std::atomic<int> notifications{0};
  auto subscription = manager->objectWillChange().subscribe([&] { ++notifications; });
  ASSERT_TRUE(test::eventually([&] { return tool.callCount("list") >= 3; }));
  manager.reset();
  ASSERT_TRUE(test::eventually([&] { return weak.expired(); }));  // a recalculation in progress finishes first
  const int calls = tool.callCount("list");
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(tool.callCount("list"), calls);
  test::drainMainQueue();
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
