// Child processes with real tools: the simulator, and /bin/sh or head where a
// tool must end in a particular way.
#include "platform/process.hpp"

#include <atomic>
#include <future>
#include <mutex>
#include <optional>

#include <gtest/gtest.h>

#include "platform/posix/system_calls.hpp"
#include "support/test_support.hpp"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;
using test::kSimulator;

// What a child's callbacks saw. The end is counted under the lock, so that
// the waiter, once it has seen it, may destroy all of this.
struct Observed {
  std::mutex mutex;
  std::string output;
  int ends = 0;
  std::optional<ExitStatus> status;
  bool stopped = false;

  OutputObserver onOutput() {
    return [this](std::string_view block) {
      std::lock_guard lock(mutex);
      output += block;
    };
  }
  EndObserver onEnd() {
    return [this](std::int32_t, ExitStatus exit, bool wasStopped, int) {
      std::lock_guard lock(mutex);
      status = exit;
      stopped = wasStopped;
      ++ends;
    };
  }
  bool waitForEnd() {
    return test::eventually([&] {
      std::lock_guard lock(mutex);
      return ends > 0;
    });
  }
};

TEST(ChildProcess, ReportsOutputThenHowTheToolEnded) {
  struct Case {
    std::string path;
    std::vector<std::string> arguments;
    std::string output;
    ExitStatus status;
  };
  const Case cases[] = {
      {kSimulator, {"println", "first", "sleep", "0.05", "println", "second"}, "first\nsecond\n", {false, 0}},
      {"/bin/sh", {"-c", "echo dying; kill -KILL $$"}, "dying\n", {true, SIGKILL}},
  };
  for (const auto& c : cases) {
    Observed seen;
    ChildProcess child(c.path, c.arguments);
    child.start(seen.onOutput(), seen.onEnd());
    ASSERT_TRUE(seen.waitForEnd()) << c.output;
    EXPECT_FALSE(child.isRunning());
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.output, c.output);
    EXPECT_EQ(seen.status, c.status) << c.output;
    EXPECT_FALSE(seen.stopped);
    EXPECT_EQ(seen.ends, 1);
  }
}

// However the stop comes, the child is reaped once and its end says it was
// stopped; a stop after the child's own end changes nothing.
TEST(ChildProcess, StoppedChildIsReapedAndItsEndSaysSo) {
  enum class Stop { twice, beforeTheStart, byDroppingTheHandle, afterItsOwnEnd };
  for (const auto how : {Stop::twice, Stop::beforeTheStart, Stop::byDroppingTheHandle, Stop::afterItsOwnEnd}) {
    const bool ownEnd = how == Stop::afterItsOwnEnd;
    Observed seen;
    auto child = std::make_unique<ChildProcess>(kSimulator, ownEnd ? std::vector<std::string>{"exit", "0"}
                                                                   : std::vector<std::string>{"forever"});
    if (how == Stop::beforeTheStart) child->stop();
    child->start({}, seen.onEnd());
    if (how == Stop::twice) child->stop();
    if (how == Stop::byDroppingTheHandle) child.reset();
    ASSERT_TRUE(!ownEnd || seen.waitForEnd());
    if (child) child->stop();
    ASSERT_TRUE(seen.waitForEnd()) << static_cast<int>(how);
    if (child) {
      EXPECT_THROW(child->start(), std::logic_error);  // never twice
    }
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.ends, 1);
    EXPECT_EQ(seen.stopped, !ownEnd) << static_cast<int>(how);
    EXPECT_EQ(seen.status, (ownEnd ? ExitStatus{false, 0} : ExitStatus{true, SIGTERM})) << static_cast<int>(how);
  }
}

// The callback is held up on another thread (as when it hands its data to a
// busy UI thread); stop() must return at once, and nothing new may start.
TEST(ChildProcess, StopNeverWaitsForACallbackInProgress) {
  std::promise<void> inside;
  std::promise<void> release;
  auto released = release.get_future().share();
  std::atomic<int> calls{0};
  Observed seen;
  ChildProcess child(kSimulator, {"print-mib", "100000"});
  child.start(
      [&, released](std::string_view) {
        if (calls++ == 0) {
          inside.set_value();
          released.wait();
        }
      },
      seen.onEnd());
  inside.get_future().wait();
  auto stopping = std::async(std::launch::async, [&] { child.stop(); });
  EXPECT_EQ(stopping.wait_for(30s), std::future_status::ready) << "stop() waited for the callback";
  release.set_value();
  ASSERT_TRUE(seen.waitForEnd());
  EXPECT_EQ(calls.load(), 1);  // the call in progress finished; no other began
}

TEST(ChildProcess, CallbackMayStopItsOwnChild) {
  Observed seen;
  std::atomic<int> calls{0};
  ChildProcess child(kSimulator, {"print-mib", "100000"});
  ChildProcess* self = &child;
  child.start(
      [&](std::string_view) {
        ++calls;
        self->stop();
      },
      seen.onEnd());
  ASSERT_TRUE(seen.waitForEnd());
  EXPECT_EQ(calls.load(), 1);
}

// A child that ignores the terminate request is killed once the grace
// period has passed, so that it never outlives its handle for long; also
// when the stop's wake-up of the reading thread is interrupted by a signal.
TEST(ChildProcess, ChildIgnoringTerminateIsKilledAfterTheGracePeriod) {
  Observed seen;
  ChildProcess child(kSimulator, {"ignore-term", "println", "ready", "forever"});
  child.start(seen.onOutput(), seen.onEnd());
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(seen.mutex);
    return !seen.output.empty();
  }));
  posix::injectFaults(posix::SystemCall::write, {posix::Fault{EINTR}});
  child.stop();
  EXPECT_TRUE(child.isRunning());
  ASSERT_TRUE(seen.waitForEnd());
  posix::clearFaults();
  std::lock_guard lock(seen.mutex);
  EXPECT_EQ(seen.status, (ExitStatus{true, SIGKILL}));
  EXPECT_TRUE(seen.stopped);
}

// Sizes around the reader's buffer steps (first capacity 64 KiB, side buffer
// 16 KiB, 1 MiB slices): every byte arrives, in order, whatever the size.
TEST(RunToEnd, OutputOfEverySizeArrivesWhole) {
  for (const std::size_t size : {0ul, 1ul, 16383ul, 16384ul, 65535ul, 65536ul, 65537ul, 81920ul, 1048576ul,
                                 1048577ul, 4194304ul, 4194305ul, 5242881ul}) {
    const auto run = runToEnd("/usr/bin/head", {"-c", std::to_string(size), "/dev/urandom"});
    EXPECT_EQ(run.output.size(), size);
    EXPECT_TRUE(run.status.succeeded());
  }
  std::string observed;
  const auto run = runToEnd(kSimulator, {"print-mib", "3", "println", "tail"},
                            [&](std::string_view block) { observed += block; });
  EXPECT_EQ(observed, run.output);
  EXPECT_EQ(run.output.size(), 3u * 1024 * 1024 + 5);
  EXPECT_EQ(run.output.substr(run.output.size() - 5), "tail\n");
}

}  // namespace
}  // namespace velmora::platform
