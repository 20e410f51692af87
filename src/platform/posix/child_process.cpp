#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/counted_threads.hpp"
#include "platform/errno/errno_calls.hpp"
#include "platform/posix/spawn.hpp"
#include "platform/posix/system_calls.hpp"
#include "platform/process.hpp"

namespace velmora::platform {

struct ChildProcess::State {
  std::mutex mutex;  // never held while a callback runs
  std::condition_variable changed;
  bool startAttempted = false;
  bool started = false;
  bool reaped = false;
  bool stopRequested = false;
  bool outputFailed = false;  // reading the output failed: the child is being terminated
  bool stoppedBeforeReaped = false;
  bool killed = false;
  pid_t pid = 0;
  ExitStatus exit;
  UniqueFd output;
  UniqueFd wakeRead;  // readable once stop() has been called
  UniqueFd wakeWrite;
  std::chrono::steady_clock::time_point stopTime;  // of the stop, or of the output's failure
  OutputObserver onOutput;  // touched by the monitor thread only, once started
  EndObserver onEnd;
  // Read by the monitor before each callback: a stop that has returned is
  // seen, and no callback starts after it.
  std::atomic<bool> stopped{false};
};

namespace {

void wake(ChildProcess::State& state) {
  // An interrupted write is retried, or the monitor might never wake; a full
  // pipe (EAGAIN) is already a wake-up.
  if (state.wakeWrite) retryOnInterrupt([&] { return posix::sys::write(state.wakeWrite.get(), "x", 1); });
}

// Reads until the end of the output or a stop; the errno of a poll or read
// that failed for good, else 0.
int readUntilEndOrStop(ChildProcess::State& state) {
  std::vector<char> buffer(64 * 1024);
  pollfd fds[2] = {{state.output.get(), POLLIN, 0}, {state.wakeRead.get(), POLLIN, 0}};
  while (!state.stopped) {
    if (retryOnInterrupt([&] { return posix::sys::poll(fds, 2, -1); }) < 0) {
      if (errno == EAGAIN) continue;
      return errno;
    }
    if (fds[1].revents != 0) return 0;
    if (fds[0].revents == 0) continue;
    const ssize_t count = retryOnInterrupt([&] { return posix::sys::read(fds[0].fd, buffer.data(), buffer.size()); });
    if (count < 0) {
      if (errno == EAGAIN) continue;
      return errno;
    }
    if (count == 0 || state.stopped) return 0;
    if (state.onOutput) {
      try {
        state.onOutput(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
      } catch (...) {
        // A failing consumer must not take the process down; it just misses output.
      }
    }
  }
  return 0;
}

// Waits for the child without reaping it (WNOWAIT), so that it can be reaped
// under the lock that stop() takes before signalling: the pid stays ours until
// `reaped` is set. A stopped child that outstays the grace period is killed.
void reap(ChildProcess::State& state) {
  auto step = std::chrono::milliseconds(1);
  for (;;) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    const int rc = posix::sys::waitid(P_PID, static_cast<id_t>(state.pid), &info, WEXITED | WNOHANG | WNOWAIT);
    std::unique_lock lock(state.mutex);
    if ((rc == 0 && info.si_pid == state.pid) || (rc < 0 && errno == ECHILD)) {
      // ECHILD: the host reaped it behind our back; never signal it again.
      if (rc == 0) state.exit = ExitStatus::fromWaitStatus(posix::waitForChild(state.pid));
      state.reaped = true;
      state.stoppedBeforeReaped = state.stopRequested;
      state.changed.notify_all();
      return;
    }
    if ((state.stopRequested || state.outputFailed) && !state.killed &&
        std::chrono::steady_clock::now() >= state.stopTime + ChildProcess::kTerminateGrace) {
      ::kill(state.pid, SIGKILL);
      state.killed = true;
    }
    state.changed.wait_for(lock, step);
    step = std::min(step * 2, std::chrono::milliseconds(100));
  }
}

void monitor(std::shared_ptr<ChildProcess::State> state) {
  const int outputError = readUntilEndOrStop(*state);
  {
    std::lock_guard lock(state->mutex);
    state->output.reset();
    state->wakeRead.reset();
    state->wakeWrite.reset();
    if (outputError != 0 && !state->reaped) {
      // What it writes from now on is lost, and it might never end by
      // itself: it is terminated as a stop would (killed after the grace).
      state->outputFailed = true;
      if (!state->stopRequested) state->stopTime = std::chrono::steady_clock::now();
      ::kill(state->pid, SIGTERM);
    }
  }
  state->onOutput = nullptr;  // release what the consumer captured
  reap(*state);

  EndObserver onEnd;
  ExitStatus exit;
  bool stopped = false;
  {
    std::lock_guard lock(state->mutex);
    onEnd = std::move(state->onEnd);
    exit = state->exit;
    stopped = state->stoppedBeforeReaped;
  }
  if (onEnd) {
    try {
      onEnd(state->pid, exit, stopped, outputError);
    } catch (...) {
      // Nobody is left to tell.
    }
  }
}

}  // namespace

ChildProcess::ChildProcess(std::string path, std::vector<std::string> arguments)
    : path_(std::move(path)), arguments_(std::move(arguments)), state_(std::make_shared<State>()) {}

ChildProcess::~ChildProcess() {
  if (stopOnDestruction_) stop();
}

void ChildProcess::start(OutputObserver onOutput, EndObserver onEnd) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->startAttempted) throw std::logic_error("ChildProcess started twice");
    state_->startAttempted = true;
  }
  Pipe wakePipe = makePipe();
  posix::Spawned child = posix::spawnWithOutputPipe(path_, arguments_, /*largePipe=*/false);

  std::lock_guard lock(state_->mutex);
  state_->pid = child.pid;
  state_->started = true;
  state_->output = std::move(child.output);
  state_->wakeRead = std::move(wakePipe.readEnd);
  state_->wakeWrite = std::move(wakePipe.writeEnd);
  state_->onOutput = std::move(onOutput);
  state_->onEnd = std::move(onEnd);
  if (state_->stopRequested) {
    // Stopped while it was being started: honour it now.
    state_->stopTime = std::chrono::steady_clock::now();
    ::kill(child.pid, SIGTERM);
    wake(*state_);
  }
  try {
    startCountedThread([state = state_]() mutable { monitor(std::move(state)); });
  } catch (...) {
    ::kill(child.pid, SIGKILL);
    posix::waitForChild(child.pid);
    state_->reaped = true;
    state_->output.reset();
    state_->wakeRead.reset();
    state_->wakeWrite.reset();
    state_->onOutput = nullptr;
    state_->onEnd = nullptr;
    throw;
  }
}

std::int32_t ChildProcess::pid() const noexcept {
  std::lock_guard lock(state_->mutex);
  return state_->pid;
}

bool ChildProcess::isRunning() const noexcept {
  std::lock_guard lock(state_->mutex);
  return state_->started && !state_->reaped;
}

void ChildProcess::stop() noexcept {
  state_->stopped = true;
  std::lock_guard lock(state_->mutex);
  if (state_->stopRequested) return;
  state_->stopRequested = true;
  state_->stopTime = std::chrono::steady_clock::now();
  if (!state_->started || state_->reaped) return;
  wake(*state_);
  ::kill(state_->pid, SIGTERM);
  state_->changed.notify_all();
}

const std::atomic<bool>& ChildProcess::stopFlag() const noexcept { return state_->stopped; }

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return !state_->started || state_->reaped; });
}

}  // namespace velmora::platform
