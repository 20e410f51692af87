// Stopping from anywhere, at any moment, leaves nothing behind: many runs
// stopped from their own callbacks, from other threads and by dropping their
// clients, one-shot runs, and a manager whose instances come and go. Runs
// under ThreadSanitizer in CI.
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/lucidlink/lucid_link_cli_manager.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;

enum class StopBy { ownCallback, otherThread, droppingTheClient, droppingTheClientInCallback, killAll, nobody };
constexpr int kStopKinds = 6;

class StoppedRun : public LucidLinkPerformanceUpdateReciever {
 public:
  StoppedRun(StopBy how, int stopAfter) : how_(how), stopAfter_(stopAfter) {}

  void didReceivePerfUpdate(const LucidPerfUpdate&) override {
    if (++updates_ != stopAfter_) return;
    if (how_ == StopBy::ownCallback) {
      if (auto client = this->client()) client->cancelProcessWithId(pid.load());
    } else if (how_ == StopBy::droppingTheClientInCallback) {
      hold(nullptr);  // the client goes here, on the run's own thread
    }
  }
  void didEndPerfRun(std::int32_t, const LucidPerfRunEnd&) override { ++ends; }

  // Replaces the client the run holds; the one it held goes with the result,
  // after the lock.
  std::shared_ptr<LucidLinkCLIUtility> hold(std::shared_ptr<LucidLinkCLIUtility> client) {
    std::lock_guard lock(mutex_);
    client_.swap(client);
    return client;
  }
  std::shared_ptr<LucidLinkCLIUtility> client() {
    std::lock_guard lock(mutex_);
    return client_;
  }

  std::atomic<std::int32_t> pid{-1};
  std::atomic<int> ends{0};

 private:
  const StopBy how_;
  const int stopAfter_;
  std::atomic<int> updates_{0};
  std::mutex mutex_;
  std::shared_ptr<LucidLinkCLIUtility> client_;
};

void stopRunsFromEverywhere(const std::string& tool, int runs, unsigned seed, std::vector<std::shared_ptr<StoppedRun>>& all) {
  std::mt19937 random(seed);
  auto pick = [&](int below) { return static_cast<int>(random() % static_cast<unsigned>(below)); };
  const LucidPerfQuery query({{LucidDataLayer::all, std::vector<LucidPerfMetric>{}}});
  for (int i = 0; i < runs; ++i) {
    const auto how = static_cast<StopBy>(pick(kStopKinds));
    auto run = std::make_shared<StoppedRun>(how, 1 + pick(60));
    all.push_back(run);
    auto client = std::make_shared<LucidLinkCLIUtility>(tool, LucidFileSpaceInfo{"1", "a", "1", "live"});
    run->hold(client);
    run->pid = client->runPerf(query, run);
    std::this_thread::sleep_for(std::chrono::microseconds(pick(2000)));
    if (how == StopBy::otherThread) std::thread([client, pid = run->pid.load()] { client->cancelProcessWithId(pid); }).join();
    if (how == StopBy::killAll) client->killAllProcesses();
    if (how == StopBy::droppingTheClient) run->hold(nullptr);  // the last reference goes with `client` below
    client.reset();
  }
}

TEST(ResourceRelease, StoppingFromAnywhereLeavesNothingBehind) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=0 perf-count=30");
  // Warm up what lives on by design (the main queue's thread, a sanitizer's
  // helpers), then count.
  {
    auto manager = LucidLinkCLIManager::create(3600, tool.path());
    (void)manager->clis();
  }
  test::drainMainQueue();
  const auto before = test::currentResources();

  std::vector<std::shared_ptr<StoppedRun>> runs[4];
  {
    // A manager whose instances come and go while others read and refresh.
    auto manager = LucidLinkCLIManager::create(0.02, tool.path());
    auto subscription = manager->objectWillChange().subscribe([] {});
    std::atomic<bool> done{false};
    std::thread churn([&] {
      for (int step = 0; !done; ++step) {
        std::vector<test::SimulatedTool::Instance> instances;
        for (int i = 0; i < 4; ++i) {
          if ((step + i) % 3 == 0) continue;
          instances.push_back({std::to_string(3000 + i), "fs" + std::to_string(i), "7000",
                               step % 4 == 0 ? "cache" : "live", "/Volumes/I" + std::to_string(i)});
        }
        tool.setInstances(instances);
        (void)manager->correspondingCLIFor("/Volumes/I" + std::to_string(step % 4) + "/file");
        if (step % 5 == 0) manager->refresh();
        std::this_thread::sleep_for(10ms);
      }
    });

    const GenericCLIUtility oneShot(tool.path());
    for (int i = 0; i < 50; ++i) ASSERT_EQ(oneShot.run({"println", "x"}), "x\n");

    std::vector<std::thread> starters;
    for (unsigned t = 0; t < 4; ++t) {
      starters.emplace_back([&, t] { stopRunsFromEverywhere(tool.path(), 250, 7 + t, runs[t]); });
    }
    for (auto& starter : starters) starter.join();
    done = true;
    churn.join();
    subscription.cancel();
    test::drainMainQueue();
  }

  // Every run ends exactly once, whoever stopped it. Waiting for the
  // condition, not for a time: a loaded machine only makes this slower.
  for (const auto& group : runs) {
    for (const auto& run : group) {
      ASSERT_TRUE(test::eventually([&] { return run->ends.load() >= 1; }, 5min)) << "a run never ended";
      EXPECT_EQ(run->ends.load(), 1);
      run->hold(nullptr);
    }
  }
  EXPECT_TRUE(test::eventually([&] { return test::nothingLeakedSince(before); }, 5min))
      << "before " << before << ", after " << test::currentResources();
}

}  // namespace
}  // namespace velmora
