#include "platform/serial_queue.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "platform/counted_threads.hpp"
#include "velmora/main_queue.hpp"

namespace velmora::platform {

struct SerialQueue::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Task> ready;
  std::multimap<Clock::time_point, Task> delayed;
  bool closed = false;
  std::thread worker;
};

namespace {

thread_local const SerialQueue::State* currentQueue = nullptr;

void runWorker(std::shared_ptr<SerialQueue::State> state) {
  currentQueue = state.get();
  std::unique_lock lock(state->mutex);
  for (;;) {
    const auto now = SerialQueue::Clock::now();
    while (!state->delayed.empty() && state->delayed.begin()->first <= now) {
      state->ready.push_back(std::move(state->delayed.begin()->second));
      state->delayed.erase(state->delayed.begin());
    }
    if (!state->ready.empty()) {
      SerialQueue::Task task = std::move(state->ready.front());
      state->ready.pop_front();
      lock.unlock();
      try {
        task();
      } catch (...) {
        // Nobody is waiting for this task's outcome (sync tasks carry their own).
      }
      task = nullptr;  // release what it captured outside the lock
      lock.lock();
      continue;
    }
    if (state->closed) break;
    if (state->delayed.empty()) {
      state->wake.wait(lock);
    } else {
      state->wake.wait_until(lock, state->delayed.begin()->first);
    }
  }
  currentQueue = nullptr;
}

void submit(const std::shared_ptr<SerialQueue::State>& state, SerialQueue::Clock::time_point when,
            SerialQueue::Task task, bool delayed) {
  std::lock_guard lock(state->mutex);
  if (state->closed) return;
  if (delayed) {
    state->delayed.emplace(when, std::move(task));
  } else {
    state->ready.push_back(std::move(task));
  }
  if (!state->worker.joinable()) {
    state->worker = std::thread(runWorker, state);
  }
  state->wake.notify_one();
}

}  // namespace

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() {
  std::thread worker;
  {
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    state_->wake.notify_one();
    worker = std::move(state_->worker);
  }
  if (!worker.joinable()) return;
  if (worker.get_id() == std::this_thread::get_id()) {
    worker.detach();  // the worker owns the state too and ends after this task
  } else {
    worker.join();
  }
}

void SerialQueue::async(Task task) { submit(state_, Clock::time_point{}, std::move(task), false); }

void SerialQueue::asyncAt(Clock::time_point when, Task task) { submit(state_, when, std::move(task), true); }

bool SerialQueue::isCurrent() const noexcept { return currentQueue == state_.get(); }

namespace {

std::mutex& executorMutex() {
  static std::mutex mutex;
  return mutex;
}

MainQueueExecutor& installedExecutor() {
  static MainQueueExecutor executor;
  return executor;
}

}  // namespace

void mainQueueAsync(std::function<void()> task) {
  MainQueueExecutor executor;
  {
    std::lock_guard lock(executorMutex());
    executor = installedExecutor();
  }
  if (executor) {
    executor(std::move(task));
    return;
  }
  systemMainQueueAsync(std::move(task));
}

void globalQueueAsync(std::function<void()> task) {
  startCountedThread(std::move(task));
}

struct RepeatingTimer::State {
  std::recursive_mutex running;  // held while the handler runs
  bool cancelled = false;        // guarded by `running`
  std::function<void()> handler;
  SerialQueue::Clock::duration interval{};
  bool repeats = false;
};

namespace {

void tick(const std::shared_ptr<RepeatingTimer::State>& state, SerialQueue* queue,
          SerialQueue::Clock::time_point due) {
  std::lock_guard lock(state->running);
  if (state->cancelled) return;
  state->handler();
  if (state->repeats && !state->cancelled) {
    const auto next = nextRepeat(due, state->interval, SerialQueue::Clock::now());
    queue->asyncAt(next, [state, queue, next] { tick(state, queue, next); });
  }
}

}  // namespace

SerialQueue::Clock::time_point nextRepeat(SerialQueue::Clock::time_point due, SerialQueue::Clock::duration interval,
                                          SerialQueue::Clock::time_point now) {
  const auto next = due + interval;
  if (next > now) return next;
  // Late by one interval or more: skip to the first slot after now.
  const auto missed = (now - due) / interval;
  return due + (missed + 1) * interval;
}

RepeatingTimer::RepeatingTimer(SerialQueue& queue, double intervalSeconds, std::function<void()> handler)
    : state_(std::make_shared<State>()) {
  state_->handler = std::move(handler);
  state_->repeats = std::isfinite(intervalSeconds) && intervalSeconds > 0;
  if (state_->repeats) {
    const auto interval = std::chrono::duration<double>(std::clamp(intervalSeconds, 0.001, 1e9));
    state_->interval = std::chrono::duration_cast<SerialQueue::Clock::duration>(interval);
  }
  const auto now = SerialQueue::Clock::now();
  queue.asyncAt(now, [state = state_, queue = &queue, now] { tick(state, queue, now); });
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::cancel() noexcept {
  std::lock_guard lock(state_->running);
  state_->cancelled = true;
}

}  // namespace velmora::platform

namespace velmora {

MainQueueExecutor libraryThreadExecutor() {
  // Never destroyed: tasks may still be queued while the process exits.
  static platform::SerialQueue* const thread = new platform::SerialQueue("main");
  return [](std::function<void()> task) { thread->async(std::move(task)); };
}

void setMainQueueExecutor(MainQueueExecutor executor) {
  std::lock_guard lock(platform::executorMutex());
  platform::installedExecutor() = std::move(executor);
}

}  // namespace velmora
