// Performance runs against the tool simulator: real processes, real pipes.
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
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
    ended_.notify_all();
  }
  std::vector<LucidPerfUpdate> updates() {
    std::lock_guard lock(mutex_);
    return updates_;
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return updates_.size();
  }
  // The one end of the run, once it has come.
  std::pair<std::int32_t, LucidPerfRunEnd> end() {
    std::unique_lock lock(mutex_);
    if (!ended_.wait_for(lock, 120s, [&] { return !ends_.empty(); })) {
      ADD_FAILURE() << "the run's end never came";
      return {};
    }
    EXPECT_EQ(ends_.size(), 1u);
    return ends_.front();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<LucidPerfUpdate> updates_;
  std::vector<std::pair<std::int32_t, LucidPerfRunEnd>> ends_;
};

const LucidFileSpaceInfo kInstance{"2001", "alpha.fs", "7778", "live"};
const LucidPerfQuery kFsAndCache({{L::fileSystem, {M::readBytes, M::writes}}, {L::cache, {M::cacheHits}}});

TEST(PerfRun, UpdatesArriveInLineAndSectionOrderThenTheEnd) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=0 perf-count=50 perf-banner perf-crlf perf-repeat-header=7");
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Recording>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  EXPECT_GT(pid, 0);
  const auto [endedPid, end] = receiver->end();
  EXPECT_EQ(endedPid, pid);
  EXPECT_EQ(end.reason, Reason::exited);
  EXPECT_EQ(end.exitStatus, 0);

  const auto updates = receiver->updates();  // all of them came before the end
  ASSERT_EQ(updates.size(), 100u);
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

TEST(PerfRun, EndTellsHowTheToolEnded) {
  test::SimulatedTool tool;
  tool.setMisbehaviour("exit 3");
  auto exiting = std::make_shared<Recording>();
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  const auto pid = client->runPerf(kFsAndCache, exiting);
  EXPECT_EQ(exiting->end(), std::pair(pid, LucidPerfRunEnd{Reason::exited, 3, 0, ""}));

  // A tool that a signal ends by itself.
  const auto script = std::filesystem::path(tool.path()).parent_path() / "killed";
  std::ofstream(script) << "#!/bin/sh\nkill -KILL $$\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  auto killed = std::make_shared<Recording>();
  auto killedClient = std::make_shared<LucidLinkCLIUtility>(script.string(), kInstance);
  const auto killedPid = killedClient->runPerf(kFsAndCache, killed);
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
}

TEST(PerfRun, MissingToolIsReportedAndStaysRegisteredUntilCancelled) {
  WarningCapture warnings;
  auto client = std::make_shared<LucidLinkCLIUtility>("/nonexistent/lucid", kInstance);
  auto receiver = std::make_shared<Recording>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  EXPECT_EQ(pid, 0);
  const auto [endedPid, end] = receiver->end();
  EXPECT_EQ(endedPid, 0);
  EXPECT_EQ(end.reason, Reason::launchFailed);
  EXPECT_NE(end.message.find("No such file or directory"), std::string::npos) << end.message;
  ASSERT_EQ(warnings.lines().size(), 1u);
  EXPECT_EQ(warnings.lines()[0], "Failed to run lucid perf: " + end.message);
  EXPECT_EQ(client->runningProcesses(), std::vector<std::int32_t>{0});
  client->cancelProcessWithId(pid);
  EXPECT_TRUE(client->runningProcesses().empty());
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

TEST(PerfRun, EndlessLineGivesNothingAndCanBeCancelled) {
  test::SimulatedTool tool;
  tool.setOptions("perf-endless-line");
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Recording>();
  const auto pid = client->runPerf(kFsAndCache, receiver);
  std::this_thread::sleep_for(300ms);  // hundreds of MiB through the pipe
  client->cancelProcessWithId(pid);
  EXPECT_EQ(receiver->end().second.reason, Reason::stopped);
  EXPECT_EQ(receiver->count(), 0u);
}

// A receiver that throws misses that update only: the line is not delivered
// again, nor glued to the next one, and the other sections still arrive.
class Throwing : public Recording {
 public:
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    Recording::didReceivePerfUpdate(update);
    if (update.dataLayer == L::fileSystem) throw std::runtime_error("receiver failed");
  }
};

TEST(PerfRun, ReceiverThatThrowsHarmsNothingElse) {
  test::SimulatedTool tool;
  tool.setOptions("perf-rate=0 perf-count=5 perf-split");
  WarningCapture warnings;
  auto client = std::make_shared<LucidLinkCLIUtility>(tool.path(), kInstance);
  auto receiver = std::make_shared<Throwing>();
  client->runPerf(kFsAndCache, receiver);
  EXPECT_EQ(receiver->end().second.reason, Reason::exited);
  const auto updates = receiver->updates();
  ASSERT_EQ(updates.size(), 10u);
  for (std::size_t i = 0; i < updates.size(); ++i) {
    EXPECT_EQ(updates[i].dataLayer, i % 2 == 0 ? L::fileSystem : L::cache) << i;
    if (i >= 2) {
      EXPECT_LT(updates[i - 2].timestamp, updates[i].timestamp);
    }
  }
  const auto lines = warnings.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "Warning: performance update receiver threw: receiver failed");
}

// Runs `body` on a thread of its own; a body that has not finished within
// three minutes (far beyond its time on a loaded machine under a sanitizer)
// is deadlocked, and the process is ended with a message rather than left
// hanging.
void withWatchdog(const char* what, std::function<void()> body) {
  auto done = std::async(std::launch::async, std::move(body));
  if (done.wait_for(180s) != std::future_status::ready) {
    std::fprintf(stderr, "deadlock: %s\n", what);
    std::abort();
  }
  done.get();
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
  withWatchdog("two receivers cancelling each other's runs", [] {
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
  withWatchdog("stop on the UI thread while an update waits for it", [] {
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
