// The threads that outlive their objects (a dropped child's monitor, a task
// on the global queue) are counted until they have released what they were
// handed, so that a program that waits for them before it exits leaves
// nothing behind.
#include "platform/counted_threads.hpp"

#include <future>
#include <memory>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/process.hpp"
#include "platform/serial_queue.hpp"
#include "support/test_support.hpp"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

// Starts a thread whose work holds `captured` and waits for `released`.
using Starter = void (*)(std::shared_ptr<int> captured, std::shared_future<void> released);

TEST(CountedThreads, CountedUntilWhatTheyHoldIsReleased) {
  const struct {
    const char* name;
    Starter start;
  } cases[] = {
      {"a dropped child's monitor, held up in its end callback",
       [](std::shared_ptr<int> captured, std::shared_future<void> released) {
         ChildProcess child(test::kSimulator, {"forever"});
         child.start({}, [captured, released](std::int32_t, ExitStatus, bool, int) { released.wait(); });
       }},
      {"a global-queue task that throws",
       [](std::shared_ptr<int> captured, std::shared_future<void> released) {
         globalQueueAsync([captured, released] {
           released.wait();
           throw std::runtime_error("nobody waits for this");
         });
       }},
  };
  for (const auto& c : cases) {
    std::promise<void> release;
    auto captured = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = captured;
    c.start(std::move(captured), release.get_future().share());
    EXPECT_FALSE(waitForCountedThreads(100ms)) << c.name;
    release.set_value();
    ASSERT_TRUE(waitForCountedThreads(60s)) << c.name;
    EXPECT_TRUE(watch.expired()) << c.name;
  }
}

}  // namespace
}  // namespace velmora::platform
