#include "platform/counted_threads.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <utility>

namespace velmora::platform {

namespace {

struct Census {
  std::mutex mutex;
  std::condition_variable ended;
  std::size_t running = 0;
};

// Never destroyed: a counted thread may still be ending while static
// destructors run.
Census& census() {
  static Census* const instance = new Census;
  return *instance;
}

void enter() {
  std::lock_guard lock(census().mutex);
  ++census().running;
}

void leave() noexcept {
  std::lock_guard lock(census().mutex);
  --census().running;
  census().ended.notify_all();
}

}  // namespace

void startCountedThread(std::function<void()> body) {
  // Counted before the thread exists, so that a wait that begins at once
  // cannot miss it.
  enter();
  try {
    std::thread([body = std::move(body)]() mutable {
      try {
        body();
      } catch (...) {
        // Nobody waits for this thread's outcome.
      }
      body = nullptr;  // what it captured goes before the thread is counted out
      leave();
    }).detach();
  } catch (...) {
    leave();
    throw;
  }
}

bool waitForCountedThreads(std::chrono::milliseconds timeout) {
  std::unique_lock lock(census().mutex);
  return census().ended.wait_for(lock, timeout, [] { return census().running == 0; });
}

}  // namespace velmora::platform
