// Performance runs against the tool simulator: real processes, real pipes.
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/serial_queue.hpp"
#include "support/test_support.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using M = LucidPerfMetric;
using L = LucidDataLayer;
using Reason = LucidPerfRunEnd::Reason;
using test::WarningCapture;

// Records updates and the run's end.
class Recording : public LucidLinkPerformanceUpdateReciever {
 public:
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    std::lock_guard lock(mutex_);
    updates_.push_back(update);
  }
  void didEndPerfRun(std::int32_t pid, const LucidPerfRunEnd& end) override {
    std::lock_guard lock(mutex_);
    ends_.emplace_back(pid, end);
  }
  std::vector<LucidPerfUpdate> updates() {
    std::lock_guard lock(mutex_);
    return updates_;
  }
  std::size_t count() { return updates().size(); }
  // The one end of the run, once it has come.
  std::pair<std::int32_t, LucidPerfRunEnd> end() {
    EXPECT_TRUE(test::eventually([&] { return !ends().empty(); })) << "the run's end never came";
    const auto all = ends();
    EXPECT_EQ(all.size(), 1u);
    return all.empty() ? std::pair<std::int32_t, LucidPerfRunEnd>{} : all.front();
  }

 private:
  std::vector<std::pair<std::int32_t, LucidPerfRunEnd>> ends() {
    std::lock_guard lock(mutex_);
    return ends_;
  }
  std::mutex mutex_;
  std::vector<LucidPerfUpdate> updates_;
  std::vector<std::pair<std::int32_t, LucidPerfRunEnd>> ends_;
};

const LucidFileSpaceInfo kInstance{"2001", "alpha.fs", "7778", "live"};
const LucidPerfQuery kFsAndCache({{L::fileSystem, {M::readBytes, M::writes}}, {L::cache, {M::cacheHits}}});

// A receiver that throws misses that update only: the line is not delivered
// again, nor glued to the next one (the tool writes each line in two pieces
// here), and the other sections still arrive.
class Throwing : public Recording {
 public:
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    Recording::didReceivePerfUpdate(update);
    if (update.dataLayer == L::fileSystem) throw std::runtime_error("receiver failed");
  }
};

TEST(PerfRun, UpdatesArriveInLineAndSectionOrderThenTheEndEvenToAReceiverThatThrows) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=0 perf-count=20 perf-banner perf-crlf perf-repeat-header=7 perf-split");
  WarningCapture warnings;
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Throwing>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  EXPECT_GT(pid, 0);
  EXPECT_EQ(receiver->end(), std::pair(pid, LucidPerfRunEnd{Reason::exited, 0, 0, ""}));

  const auto updates = receiver->updates();  // all of them came before the end
  ASSERT_EQ(updates.size(), 40u);
  for (std::size_t i = 0; i < updates.size(); ++i) {
    EXPECT_EQ(updates[i].dataLayer, i % 2 == 0 ? L::fileSystem : L::cache) << i;
    EXPECT_TRUE(i % 2 == 0 || updates[i].timestamp == updates[i - 1].timestamp) << i;  // one line, two sections
    EXPECT_TRUE(i < 2 || updates[i - 2].timestamp < updates[i].timestamp) << i;
  }
  EXPECT_EQ(updates[0].dictionary, (LucidPerfDictionary{{M::readBytes, "0.5MiB/s"}, {M::writes, "0"}}));
  EXPECT_EQ(updates[1].dictionary, (LucidPerfDictionary{{M::cacheHits, "0%"}}));
  EXPECT_EQ(warnings.lines(), std::vector<std::string>(20, "Warning: performance update receiver threw: receiver failed"));
  EXPECT_EQ(tool.calls().front(),
            (std::vector<std::string>{"--instance", "2001", "perf", "--fs", "readBytes,writes", "--cache", "%hits"}));
  // The run ended on its own; it stays registered until it is cancelled.
  EXPECT_EQ(client->runningProcesses(), std::vector<std::int32_t>{pid});
  client->cancelProcessWithId(pid);
  EXPECT_TRUE(client->runningProcesses().empty());
}

TEST(PerfRun, EndTellsHowTheToolEnded) {
  test::SimulatedTool tool;
  tool.setMisbehaviour("exit 3");
  auto exiting = std::make_shared<Recording>();
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  const auto pid = client->runPerf(kFsAndCache, exiting);
  EXPECT_EQ(exiting->end(), std::pair(pid, LucidPerfRunEnd{Reason::exited, 3, 0, ""}));

  // A tool that a signal ends by itself.
  tool.setMisbehaviour("raise 9");
  auto killed = std::make_shared<Recording>();
  const auto killedPid = client->runPerf(kFsAndCache, killed);
  EXPECT_EQ(killed->end(), std::pair(killedPid, LucidPerfRunEnd{Reason::killedBySignal, 0, SIGKILL, ""}));

  // Stopped by its client's end: however the tool then died, it was stopped.
  tool.setMisbehaviour("");
  auto stopped = std::make_shared<Recording>();
  const auto stoppedPid = client->runPerf(kFsAndCache, stopped);
  ASSERT_TRUE(test::eventually([&] { return stopped->count() > 0; }));
  client.reset();
  const auto [endedPid, end] = stopped->end();
  EXPECT_EQ(endedPid, stoppedPid);
  EXPECT_EQ(end.reason, Reason::stopped);

  // A tool that cannot be launched: reported, and registered as 0 until cancelled.
  WarningCapture warnings;
  auto missing = std::make_shared<LucidLinkCLIUtility>("/nonexistent/lucid", kInstance);
  auto failed = std::make_shared<Recording>();
  EXPECT_EQ(missing->runPerf(kFsAndCache, failed), 0);
  const auto [failedPid, failure] = failed->end();
  EXPECT_EQ(failedPid, 0);
  EXPECT_EQ(failure.reason, Reason::launchFailed);
  EXPECT_EQ(failure.systemCode, ENOENT);
  EXPECT_NE(failure.message.find("No such file or directory"), std::string::npos) << failure.message;
  EXPECT_EQ(warnings.lines(), std::vector<std::string>{"Failed to run lucid perf: " + failure.message});
  EXPECT_EQ(missing->runningProcesses(), std::vector<std::int32_t>{0});
  missing->cancelProcessWithId(0);
  EXPECT_TRUE(missing->runningProcesses().empty());
}

TEST(PerfRun, ReleasedReceiverGetsNothingAndEachBlockIsReported) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=50");
  WarningCapture warnings;
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Recording>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  ASSERT_TRUE(test::eventually([&] { return receiver->count() >= 4; }));
  std::weak_ptr<Recording> weak = receiver;
  receiver.reset();
  ASSERT_TRUE(test::eventually([&] { return warnings.lines().size() >= 3; }));
  for (const auto& line : warnings.lines()) EXPECT_EQ(line, "Update reciver went out of scope!");
  EXPECT_TRUE(weak.expired());  // the run never kept it alive
  client->cancelProcessWithId(pid);
}

// Once armed, stops the other run from inside its callbacks, taking a moment
// first so that both are likely inside a callback at once.
class StoppingTheOther : public Recording {
 public:
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    Recording::didReceivePerfUpdate(update);
    if (!armed) return;
    std::this_thread::sleep_for(1ms);
    if (auto client = otherClient.lock()) client->cancelProcessWithId(otherPid);
  }
  std::weak_ptr<LucidLinkCLIUtility> otherClient;
  std::int32_t otherPid = -1;
  std::atomic<bool> armed{false};
};

TEST(PerfRunDeadlock, TwoReceiversCancellingEachOthersRuns) {
  test::withWatchdog("two receivers cancelling each other's runs", [] {
    for (int round = 0; round < 10; ++round) {
      test::SimulatedTool tool;
      tool.setOptions("perf-rate=500");
      auto clientA = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
      auto clientB = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
      auto a = std::make_shared<StoppingTheOther>();
      auto b = std::make_shared<StoppingTheOther>();
      a->otherClient = clientB;
      b->otherClient = clientA;
      b->otherPid = clientA->runPerf(kFsAndCache, a);
      a->otherPid = clientB->runPerf(kFsAndCache, b);
      a->armed = true;
      b->armed = true;
      // One of them stops the other first; the survivor goes with its client.
      ASSERT_TRUE(test::eventually([&] { return clientA->runningProcesses().empty() || clientB->runningProcesses().empty(); }));
      clientA.reset();
      clientB.reset();
      EXPECT_EQ(a->end().second.reason, Reason::stopped);
      EXPECT_EQ(b->end().second.reason, Reason::stopped);
    }
  });
}

// Hands each update to a UI thread (a serial queue) and waits until it has
// been shown.
class ShowingOnTheUi : public Recording {
 public:
  explicit ShowingOnTheUi(platform::SerialQueue& ui) : ui_(ui) {}
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    ui_.sync([&] { Recording::didReceivePerfUpdate(update); });
  }

 private:
  platform::SerialQueue& ui_;
};

TEST(PerfRunDeadlock, UiThreadPressesStopWhileAnUpdateWaitsForIt) {
  test::withWatchdog("stop on the UI thread while an update waits for it", [] {
    for (int round = 0; round < 10; ++round) {
      test::SimulatedTool tool;
      tool.setOptions("perf-rate=0");
      platform::SerialQueue ui("ui");
      auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
      auto receiver = std::make_shared<ShowingOnTheUi>(ui);
      const auto pid = client->runPerf(kFsAndCache, receiver);
      ASSERT_TRUE(test::eventually([&] { return receiver->count() > 0; }));
      // Stop is pressed on the UI thread: the run's thread is most likely
      // waiting for the UI thread at this moment.
      ui.sync([&] { client->cancelProcessWithId(pid); });
      const auto shown = receiver->count();
      EXPECT_EQ(receiver->end().second.reason, Reason::stopped);
      EXPECT_LE(receiver->count(), shown + 1);  // at most the update that was waiting
    }
  });
}

}  // namespace
}  // namespace velmora
