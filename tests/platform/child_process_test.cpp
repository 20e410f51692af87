#include "platform/process.hpp"

#include <atomic>
#include <mutex>
#include <system_error>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
using test::kSimulator;

TEST(ChildProcess, HandsOutputToTheCallbackAsItArrivesAndReapsAtTheEnd) {
  std::mutex mutex;
  std::string seen;
  ChildProcess child(kSimulator, {"println", "first", "sleep", "0.1", "println", "second"});
  child.start([&](std::string_view block) {
    std::lock_guard lock(mutex);
    seen += block;
  });
  EXPECT_GT(child.pid(), 0);
  ASSERT_TRUE(child.waitForExit(10s));
  EXPECT_FALSE(child.isRunning());
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, "first\nsecond\n");
}

TEST(ChildProcess, NeverStartedWhenTheLaunchFails) {
  ChildProcess child("/nonexistent/tool", {});
  EXPECT_THROW(child.start(), std::system_error);
  EXPECT_EQ(child.pid(), 0);
  EXPECT_FALSE(child.isRunning());
  child.stop();  // nothing to signal
  EXPECT_TRUE(child.waitForExit(0ms));
}

TEST(ChildProcess, StopTerminatesWithoutWaiting) {
  ChildProcess child(kSimulator, {"forever"});
  child.start();
  const int pid = child.pid();
  ASSERT_TRUE(test::processAlive(pid));
  child.stop();
  ASSERT_TRUE(child.waitForExit(10s));
  EXPECT_FALSE(child.isRunning());
}

TEST(ChildProcess, StopAfterTheChildExitedOnItsOwnDoesNothing) {
  ChildProcess child(kSimulator, {"exit", "0"});
  child.start();
  ASSERT_TRUE(child.waitForExit(10s));
  child.stop();
  child.stop();
  EXPECT_FALSE(child.isRunning());
}

TEST(ChildProcess, CallbackIsNotCalledAfterStopHasReturnedAndItsCallFinished) {
  std::atomic<int> calls{0};
  ChildProcess child(kSimulator, {"print-mib", "100000"});
  child.start([&](std::string_view) { ++calls; });
  ASSERT_TRUE(test::eventually([&] { return calls.load() > 0; }));
  child.stop();
  ASSERT_TRUE(child.waitForExit(10s));
  const int after = calls.load();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls.load(), after);
}

// A child that ignores the terminate request is killed once the grace
// period has passed, so that it never outlives its handle for long.
TEST(ChildProcess, ChildIgnoringTerminateIsKilledAfterTheGracePeriod) {
  ChildProcess child(kSimulator, {"ignore-term", "println", "ready", "forever"});
  std::atomic<bool> ready{false};
  child.start([&](std::string_view) { ready = true; });
  ASSERT_TRUE(test::eventually([&] { return ready.load(); }));
  child.stop();
  EXPECT_TRUE(child.isRunning());
  EXPECT_TRUE(child.waitForExit(ChildProcess::kTerminateGrace + 10s));
}

TEST(ChildProcess, DroppingTheHandleStopsTheChild) {
  int pid = 0;
  {
    ChildProcess child(kSimulator, {"forever"});
    child.start();
    pid = child.pid();
  }
  EXPECT_TRUE(test::eventually([&] { return !test::processAlive(pid); }));
}

TEST(ChildProcess, StartingTwiceIsAProgrammingError) {
  ChildProcess child(kSimulator, {"exit", "0"});
  child.start();
  EXPECT_THROW(child.start(), std::logic_error);
  EXPECT_TRUE(child.waitForExit(10s));
}

TEST(RunToEnd, ObserverSeesEveryBlockInOrder) {
  std::string observed;
  const std::string output = runToEnd(kSimulator, {"print-mib", "3", "println", "tail"},
                                      [&](std::string_view block) { observed += block; }).output;
  EXPECT_EQ(observed, output);
  EXPECT_EQ(output.size(), 3u * 1024 * 1024 + 5);
}

TEST(RunToEnd, LaunchFailureCarriesTheErrno) {
  try {
    runToEnd("/nonexistent/tool", {});
    ADD_FAILURE() << "expected a launch failure";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::error_code(ENOENT, std::system_category()));
  }
}

}  // namespace
}  // namespace velmora::platform
