// The manager under churn: instances come and go while other threads read
// and refresh. Runs under ThreadSanitizer in CI.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/lucidlink/lucid_link_cli_manager.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;

TEST(LucidLinkCLIManagerChurn, InstancesComingAndGoingLeakNothing) {
  test::SimulatedTool tool;
  test::drainMainQueue();  // the main queue's thread lives on by design: start it first
  const auto before = test::currentResources();

  std::vector<std::weak_ptr<LucidLinkCLIUtility>> seen;
  std::mutex seenMutex;
  {
    auto manager = LucidLinkCLIManager::create(0.05, tool.path());
    std::atomic<int> notifications{0};
    auto subscription = manager->objectWillChange().subscribe([&] { ++notifications; });
    std::atomic<bool> stop{false};

    std::vector<std::thread> callers;
    callers.emplace_back([&] {
      while (!stop) {
        for (const auto& client : manager->clis()) {
          std::lock_guard lock(seenMutex);
          seen.push_back(client);
        }
      }
    });
    callers.emplace_back([&] {
      for (int i = 0; !stop; ++i) {
        (void)manager->correspondingCLIFor("/Volumes/I" + std::to_string(i % 6) + "/file");
        std::this_thread::sleep_for(1ms);
      }
    });
    callers.emplace_back([&] {
      while (!stop) {
        manager->refresh();
        std::this_thread::sleep_for(20ms);
      }
    });

    const auto end = std::chrono::steady_clock::now() + 20s;
    for (int step = 0; std::chrono::steady_clock::now() < end; ++step) {
      std::vector<test::SimulatedTool::Instance> instances;
      for (int i = 0; i < 6; ++i) {
        if ((step + i) % 3 == 0) continue;  // a third of them vanish each step
        instances.push_back({std::to_string(3000 + i), "fs" + std::to_string(i), std::to_string(7000 + i),
                             step % 4 == 0 ? "cache" : "live", "/Volumes/I" + std::to_string(i)});
      }
      tool.setInstances(instances);
      std::this_thread::sleep_for(50ms);
    }
    stop = true;
    for (auto& caller : callers) caller.join();
    EXPECT_GT(notifications.load(), 0);
  }

  // Once the manager and every caller's reference are gone, so is every client.
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(seenMutex);
    for (const auto& client : seen) {
      if (!client.expired()) return false;
    }
    return true;
  }));
  EXPECT_TRUE(test::eventually([&] { return test::currentResources() == before; }, 30s))
      << "before " << before << ", after " << test::currentResources();
}

}  // namespace
}  // namespace velmora
