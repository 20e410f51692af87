// The front end's main queue. It has no run loop, so the library's default
// on macOS, the application's main dispatch queue, would never run the
// manager's notifications (`lucid watch`) or the kernel-extension flow
// (`kext load`): a serial thread of the front end's own runs them instead.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "front_end.hpp"
#include "velmora/main_queue.hpp"

namespace velmora::cli {

namespace {

class SerialThread {
 public:
  // The thread starts with the first task, so that it inherits the signal
  // mask of whoever queued it (StopSignals blocks the stop signals first).
  void post(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    if (!started_) {
      std::thread([this] { run(); }).detach();
      started_ = true;
    }
    ready_.notify_one();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return !tasks_.empty(); });
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      try {
        task();
      } catch (...) {
        // Nobody waits for this task's outcome.
      }
      task = nullptr;  // release what it captured outside the lock
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  bool started_ = false;
};

}  // namespace

void installMainQueue() {
  // Never destroyed: the library's threads may still queue tasks while the
  // process exits.
  static SerialThread* const thread = new SerialThread;
  setMainQueueExecutor([](std::function<void()> task) { thread->post(std::move(task)); });
}

}  // namespace velmora::cli
