// Performance runs against the tool simulator: real processes, real pipes.
#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using M = LucidPerfMetric;
using L = LucidDataLayer;

class Counting : public LucidLinkPerformanceUpdateReciever {
 public:
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    std::lock_guard lock(mutex);
    updates.push_back(update);
  }
  std::vector<LucidPerfUpdate> snapshot() {
    std::lock_guard lock(mutex);
    return updates;
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return updates.size();
  }
  std::mutex mutex;
  std::vector<LucidPerfUpdate> updates;
};

using test::WarningCapture;

const LucidFileSpaceInfo kInstance{"2001", "alpha.fs", "7778", "live"};
const LucidPerfQuery kFsAndCache({{L::fileSystem, {M::readBytes, M::writes}}, {L::cache, {M::cacheHits}}});

TEST(PerfRun, UpdatesArriveInLineAndSectionOrder) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=0 perf-count=50 perf-banner perf-crlf perf-repeat-header=7");
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Counting>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  EXPECT_GT(pid, 0);
  ASSERT_TRUE(test::eventually([&] { return receiver->count() == 100; }));
  const auto updates = receiver->snapshot();
  for (std::size_t i = 0; i < updates.size(); ++i) {
    EXPECT_EQ(updates[i].dataLayer, i % 2 == 0 ? L::fileSystem : L::cache) << i;
    if (i % 2 == 1) {
      EXPECT_EQ(updates[i].timestamp, updates[i - 1].timestamp);
    }
    if (i >= 2) {
      EXPECT_LT(updates[i - 2].timestamp, updates[i].timestamp);
    }
  }
  EXPECT_EQ(updates[0].dictionary, (LucidPerfDictionary{{M::readBytes, "0.5MiB/s"}, {M::writes, "0"}}));
  EXPECT_EQ(updates[1].dictionary, (LucidPerfDictionary{{M::cacheHits, "0%"}}));
  EXPECT_EQ(tool.calls().front(),
            (std::vector<std::string>{"--instance", "2001", "perf", "--fs", "readBytes,writes", "--cache", "%hits"}));
  // The run ended on its own; it stays registered until it is cancelled.
  EXPECT_EQ(client->runningProcesses(), std::vector<std::int32_t>{pid});
  client->cancelProcessWithId(pid);
  EXPECT_TRUE(client->runningProcesses().empty());
}

TEST(PerfRun, LinesSplitAcrossWritesAndInvalidLinesAreHandled) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=0 perf-count=9 perf-split perf-invalid-utf8");
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path());
  auto receiver = std::make_shared<Counting>();
  client->runPerf(LucidPerfQuery({{L::objectStore, {M::gets}}}), receiver);
  ASSERT_TRUE(test::eventually([&] { return receiver->count() == 6; }));  // every third line is dropped
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(receiver->count(), 6u);
  EXPECT_EQ(tool.calls().front(), (std::vector<std::string>{"perf", "--objectstore", "gets"}));
  client->killAllProcesses();
}

TEST(PerfRun, ReleasedReceiverGetsNothingAndEachBlockIsReported) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=50");
  WarningCapture warnings;
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Counting>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  ASSERT_TRUE(test::eventually([&] { return receiver->count() >= 4; }));
  std::weak_ptr<Counting> weak = receiver;
  receiver.reset();
  ASSERT_TRUE(test::eventually([&] { return warnings.lines().size() >= 3; }));
  for (const auto& line : warnings.lines()) EXPECT_EQ(line, "Update reciver went out of scope!");
  EXPECT_TRUE(weak.expired());  // the run never kept it alive
  client->cancelProcessWithId(pid);
}

TEST(PerfRun, MissingToolIsReportedAndStaysRegisteredUntilCancelled) {
  WarningCapture warnings;
  auto client = std::make_shared<LucidLinkCLIUtility>("/nonexistent/lucid", kInstance);
  auto receiver = std::make_shared<Counting>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  EXPECT_EQ(pid, 0);
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_EQ(warnings.lines()[0].rfind("Failed to run lucid perf: ", 0), 0u) << warnings.lines()[0];
  EXPECT_NE(warnings.lines()[0].find("No such file or directory"), std::string::npos);
  EXPECT_EQ(client->runningProcesses(), std::vector<std::int32_t>{0});
  client->cancelProcessWithId(pid);
  EXPECT_TRUE(client->runningProcesses().empty());
}

TEST(PerfRun, CancellingLeavesNoProcessAndNoZombie) {
  test::SimulatedTool tool;
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Counting>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  ASSERT_TRUE(test::eventually([&] { return receiver->count() > 0; }));
  client->cancelProcessWithId(pid);
  const auto seen = receiver->count();
  EXPECT_TRUE(test::eventually([&] { return !test::processAlive(pid) && test::currentResources().zombieChildren == 0; },
                               1s));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(receiver->count(), seen);  // nothing after the stop returned
}

TEST(PerfRun, EndlessLineGivesNothingAndCanBeCancelled) {
  test::SimulatedTool tool;
  tool.setOptions("perf-endless-line");
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Counting>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  std::this_thread::sleep_for(500ms);  // hundreds of MiB through the pipe
  EXPECT_EQ(receiver->count(), 0u);
  client->cancelProcessWithId(pid);
}

// A receiver may stop its own run from inside its callback.
class SelfStopping : public LucidLinkPerformanceUpdateReciever {
 public:
  explicit SelfStopping(std::shared_ptr<LucidLinkCLIUtility> c) : client(std::move(c)) {}
  void didReceivePerfUpdate(const LucidPerfUpdate&) override {
    ++calls;
    client->cancelProcessWithId(pid.load());
  }
  std::shared_ptr<LucidLinkCLIUtility> client;
  std::atomic<std::int32_t> pid{-1};
  std::atomic<int> calls{0};
};

TEST(PerfRun, ReceiverCanStopItsOwnRun) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=0 perf-count=1000");
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<SelfStopping>(client);
  receiver->pid = client->runPerf(kFsAndCache, receiver);  // may deliver before pid is known: cancel(-1) is a no-op
  ASSERT_TRUE(test::eventually([&] { return client->runningProcesses().empty(); }));
  const int calls = receiver->calls.load();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(receiver->calls.load(), calls);
  receiver->client.reset();
}

TEST(PerfRun, HundredConcurrentRunsCancelledInRandomOrderLeaveNothing) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=100");
  test::drainMainQueue();
  const auto before = test::currentResources();
  {
    auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
    std::vector<std::shared_ptr<Counting>> receivers;
    std::vector<std::int32_t> pids;
    for (int i = 0; i < 100; ++i) {
      receivers.push_back(std::make_shared<Counting>());
      pids.push_back(client->runPerf(kFsAndCache, receivers.back()));
    }
    ASSERT_TRUE(test::eventually([&] {
      return std::all_of(receivers.begin(), receivers.end(), [](auto& r) { return r->count() > 0; });
    }, 30s));
    std::shuffle(pids.begin(), pids.end(), std::mt19937(42));
    std::vector<std::thread> cancellers;
    for (int t = 0; t < 4; ++t) {
      cancellers.emplace_back([&, t] {
        for (std::size_t i = t; i < pids.size(); i += 4) client->cancelProcessWithId(pids[i]);
      });
    }
    for (auto& thread : cancellers) thread.join();
    EXPECT_TRUE(client->runningProcesses().empty());
  }
  EXPECT_TRUE(test::eventually([&] { return test::currentResources() == before; }, 30s))
      << "before " << before << ", after " << test::currentResources();
}

}  // namespace
}  // namespace velmora
