// Serial queues and a repeating timer: the dispatch facilities the manager
// is built on.
//
// A SerialQueue runs its tasks one at a time, in the order they became due,
// on a worker thread of its own that is started with the first task. Its
// destructor runs the tasks already due, drops delayed ones that are not,
// and waits for the worker; called from a task of the queue itself, it lets
// the worker finish on its own instead (a task that drops the last owner of
// its queue must not wait for itself).
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

namespace velmora::platform {

class SerialQueue {
 public:
  using Task = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  explicit SerialQueue(std::string label);
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const noexcept { return label_; }

  // Queues `task` and returns at once. A task that throws is abandoned; the
  // queue goes on with the next.
  void async(Task task);
  // Queues `task` to become due at `when`.
  void asyncAt(Clock::time_point when, Task task);

  // Runs `work` on the queue and waits for its result (or its exception).
  // Calling it from a task of this same queue would wait forever: that
  // throws std::logic_error instead.
  template <typename Work>
  auto sync(Work&& work) -> decltype(work()) {
    using Result = decltype(work());
    if (isCurrent()) throw std::logic_error("sync onto the queue that is running the caller: " + label_);
    auto task = std::make_shared<std::packaged_task<Result()>>(std::forward<Work>(work));
    auto result = task->get_future();
    async([task] { (*task)(); });
    return result.get();
  }

  // Whether the calling thread is running a task of this queue.
  bool isCurrent() const noexcept;

  struct State;

 private:
  std::string label_;
  std::shared_ptr<State> state_;
};

// Runs `task` on the process-wide main queue: the executor a host
// application installed (velmora/main_queue.hpp), or else the system's.
void mainQueueAsync(std::function<void()> task);

// The system's main queue, where no executor is installed: the
// application's main dispatch queue on macOS, a dedicated thread of the
// library elsewhere (each defined by its platform's source). A task that
// throws is abandoned.
void systemMainQueueAsync(std::function<void()> task);

// Runs `task` at once on a thread of its own (a concurrent "global queue"),
// which ends with the task.
void globalQueueAsync(std::function<void()> task);

// Delivers `handler` on `queue`: the first event at once, then every
// `intervalSeconds` at a fixed rate. Events missed while the queue or the
// whole process stalled (a debugger, a stopped process, a sleeping machine)
// coalesce into one, as a dispatch timer's do. An interval that is not a
// positive finite number gives the first event only, so that it can never
// make the timer spin; intervals below one millisecond are raised to one
// millisecond for the same reason, and those above 10^9 seconds (about 31
// years) are cut to that, which the clock's range holds.
// The deadline after `due` on a schedule of `interval`: the next slot, or,
// when that has already passed at `now`, the first slot after `now`.
SerialQueue::Clock::time_point nextRepeat(SerialQueue::Clock::time_point due, SerialQueue::Clock::duration interval,
                                          SerialQueue::Clock::time_point now);

class RepeatingTimer {
 public:
  RepeatingTimer(SerialQueue& queue, double intervalSeconds, std::function<void()> handler);
  ~RepeatingTimer();  // cancels
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // No handler call starts after this returns; one in progress on another
  // thread is waited for. May be called from the handler itself.
  void cancel() noexcept;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace velmora::platform
