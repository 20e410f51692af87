#include "platform/serial_queue.hpp"

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "velmora/main_queue.hpp"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsTasksOneAtATimeInOrder) {
  SerialQueue queue("test.order");
  std::vector<int> seen;  // touched only by the queue's tasks
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 200; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
    });
  }
  const auto result = queue.sync([&] { return seen; });
  ASSERT_EQ(result.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(result[i], i);
  EXPECT_FALSE(overlapped.load());
}

TEST(SerialQueue, SyncReturnsTheResultOrRethrowsAndNeverWaitsForItself) {
  SerialQueue queue("test.sync");
  EXPECT_EQ(queue.sync([] { return 42; }), 42);
  EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("inside"); }), std::runtime_error);
  // A sync from the queue's own thread fails instead of hanging.
  EXPECT_THROW(queue.sync([&] { return queue.sync([] { return 0; }); }), std::logic_error);
  EXPECT_EQ(queue.sync([] { return std::string("still running"); }), "still running");
}

TEST(SerialQueue, DelayedTasksRunWhenDueAndInDueOrder) {
  SerialQueue queue("test.delayed");
  std::vector<int> seen;
  const auto now = SerialQueue::Clock::now();
  queue.asyncAt(now + 60ms, [&] { seen.push_back(3); });
  queue.asyncAt(now + 20ms, [&] { seen.push_back(2); });
  queue.async([&] { seen.push_back(1); });
  ASSERT_TRUE(test::eventually([&] { return queue.sync([&] { return seen.size(); }) == 3; }));
  EXPECT_EQ(queue.sync([&] { return seen; }), (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, DestructionRunsDueTasksAndDropsLaterOnes) {
  std::atomic<int> ran{0};
  {
    SerialQueue queue("test.teardown");
    for (int i = 0; i < 10; ++i) queue.async([&] { std::this_thread::sleep_for(1ms); ++ran; });
    queue.asyncAt(SerialQueue::Clock::now() + 1h, [&] { ran += 100; });
  }
  EXPECT_EQ(ran.load(), 10);
}

TEST(SerialQueue, ATaskMayDestroyItsOwnQueue) {
  auto queue = std::make_shared<SerialQueue>("test.self");
  std::promise<void> done;
  queue->async([&queue, &done] {
    queue.reset();  // the last owner goes away on the queue's own thread
    done.set_value();
  });
  done.get_future().wait();
  EXPECT_EQ(queue, nullptr);
}

TEST(RepeatingTimer, IntervalsThatAreNotPositiveAndFiniteOrOutlastTheClockGiveOneEvent) {
  const double intervals[] = {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e300};
  for (const double interval : intervals) {
    SerialQueue queue("test.timer.degenerate");
    std::atomic<int> events{0};
    RepeatingTimer timer(queue, interval, [&] { ++events; });
    ASSERT_TRUE(test::eventually([&] { return events.load() == 1; })) << interval;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(events.load(), 1) << interval;
  }
}

TEST(RepeatingTimer, NextDeadlineSkipsSlotsThatHavePassed) {
  using Clock = SerialQueue::Clock;
  const Clock::time_point t0{};
  const auto interval = 100ms;
  struct Case {
    std::chrono::milliseconds now;  // since the event that was due at t0
    std::chrono::milliseconds next;
  };
  const Case cases[] = {
      {0ms, 100ms}, {99ms, 100ms}, {100ms, 200ms}, {101ms, 200ms}, {2350ms, 2400ms}, {2400ms, 2500ms},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(nextRepeat(t0, interval, t0 + c.now) - t0, Clock::duration(c.next)) << c.now.count();
  }
}

// After a stall (here: the queue held up for thirty intervals) the missed
// events coalesce into one instead of firing back to back; once cancelled,
// the timer fires no more.
TEST(RepeatingTimer, EventsMissedDuringAStallCoalesceAndCancelEndsThem) {
  SerialQueue queue("test.timer.stall");
  std::mutex mutex;
  std::vector<SerialQueue::Clock::time_point> events;
  RepeatingTimer timer(queue, 0.01, [&] {
    std::lock_guard lock(mutex);
    events.push_back(SerialQueue::Clock::now());
  });
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(mutex);
    return events.size() >= 2;
  }));
  SerialQueue::Clock::time_point released;
  queue.sync([&] {
    std::this_thread::sleep_for(300ms);
    released = SerialQueue::Clock::now();
  });
  std::this_thread::sleep_for(30ms);
  timer.cancel();
  const auto fired = queue.sync([&] { return events.size(); });
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(queue.sync([&] { return events.size(); }), fired) << "an event after cancel";
  // Within one interval of the release: the late event, and at most one slot
  // of the schedule. A slow machine only makes this fewer.
  std::lock_guard lock(mutex);
  const auto burst = std::count_if(events.begin(), events.end(),
                                   [&](auto at) { return at >= released && at < released + 10ms; });
  EXPECT_LE(burst, 2) << "missed events fired back to back";
}

TEST(RepeatingTimer, CancelWaitsForAHandlerRunningOnAnotherThread) {
  SerialQueue queue("test.timer.cancel");
  std::promise<void> inside;
  std::atomic<bool> finished{false};
  RepeatingTimer timer(queue, 3600, [&] {
    inside.set_value();
    std::this_thread::sleep_for(50ms);
    finished = true;
  });
  inside.get_future().wait();
  timer.cancel();
  EXPECT_TRUE(finished.load());
}

TEST(MainQueue, HostExecutorReceivesTheTasks) {
  std::vector<std::function<void()>> handedOver;
  std::mutex mutex;
  setMainQueueExecutor([&](std::function<void()> task) {
    std::lock_guard lock(mutex);
    handedOver.push_back(std::move(task));
  });
  bool ran = false;
  mainQueueAsync([&] { ran = true; });
  setMainQueueExecutor(nullptr);
  ASSERT_EQ(handedOver.size(), 1u);
  EXPECT_FALSE(ran);
  handedOver.front()();
  EXPECT_TRUE(ran);
  test::drainMainQueue();  // the default thread serves again
}

}  // namespace
}  // namespace velmora::platform
