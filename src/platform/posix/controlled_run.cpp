// Runs that other threads may signal while they wait for their child: the
// front end forwards its stop signals through them, and the manager stops
// its listing tool with them.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/errno/errno_calls.hpp"
#include "platform/posix/spawn.hpp"
#include "platform/posix/system_calls.hpp"
#include "platform/process.hpp"

namespace velmora::platform {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A child running under a control. It lives on its run's stack and is listed
// in the control until it has been reaped, so that nobody signals its pid
// once it may belong to another process.
struct Child {
  pid_t pid = 0;
  std::optional<Clock::time_point> killAt;  // set once it has been signalled
  bool killed = false;
};

}  // namespace

struct RunControl::State {
  std::mutex mutex;  // guards all below; children are signalled only under it
  std::condition_variable changed;
  int signal = 0;
  std::vector<Child*> children;
};

namespace {

// Under the lock. Only the first signal counts; the grace period starts with
// it. False when the child had been signalled already.
bool signalChild(Child& child, int signal) {
  if (child.killAt) return false;
  ::kill(child.pid, signal);
  child.killAt = Clock::now() + ChildProcess::kTerminateGrace;
  return true;
}

// Under the lock.
void killIfOverdue(Child& child) {
  if (child.killAt && !child.killed && Clock::now() >= *child.killAt) {
    ::kill(child.pid, SIGKILL);
    child.killed = true;
  }
}

// Whether the child has ended, without reaping it (WNOWAIT keeps its pid ours).
bool hasEnded(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  const int rc = posix::sys::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  return (rc == 0 && info.si_pid == pid) || (rc < 0 && errno == ECHILD);
}

// Waits for the child's end, killing it once its grace period is over, and
// reaps it under the lock, where it also leaves the control's list.
ExitStatus reap(RunControl::State& state, Child& child) {
  auto step = milliseconds(1);
  std::unique_lock lock(state.mutex);
  for (;;) {
    lock.unlock();
    const bool ended = hasEnded(child.pid);
    lock.lock();
    if (ended) break;
    killIfOverdue(child);
    state.changed.wait_for(lock, step);
    step = std::min(step * 2, milliseconds(100));
  }
  const int waitStatus = posix::waitForChild(child.pid);
  state.children.erase(std::find(state.children.begin(), state.children.end(), &child));
  return ExitStatus::fromWaitStatus(waitStatus);
}

}  // namespace

RunControl::RunControl() : state_(std::make_unique<State>()) {}

RunControl::~RunControl() = default;

void RunControl::signal(int signal) noexcept {
  std::lock_guard lock(state_->mutex);
  if (state_->signal != 0) return;
  state_->signal = signal;
  for (Child* child : state_->children) signalChild(*child, signal);
  state_->changed.notify_all();
}

int RunControl::signalSent() const noexcept {
  std::lock_guard lock(state_->mutex);
  return state_->signal;
}

CompletedRun runUnderControl(const std::string& path, const std::vector<std::string>& arguments,
                             const OutputObserver& observer, bool keepOutput, RunControl& control,
                             std::optional<Clock::time_point> deadline) {
  RunControl::State& state = control.state();
  Child child;
  UniqueFd output;
  {
    // Started under the lock, so that a signal is either refused here or
    // finds the child listed.
    std::lock_guard lock(state.mutex);
    if (state.signal != 0) {
      throwErrno(ECANCELED, "The run was stopped before its tool started");
    }
    posix::Spawned spawned = posix::spawnWithOutputPipe(path, arguments, /*largePipe=*/true);
    child.pid = spawned.pid;
    output = std::move(spawned.output);
    state.children.push_back(&child);
  }

  std::string kept;
  std::vector<char> buffer(64 * 1024);
  std::exception_ptr failure;  // the observer's, or a failed read: the child is stopped, then it is rethrown
  bool timedOut = false;
  auto fail = [&] {
    failure = std::current_exception();
    std::lock_guard lock(state.mutex);
    signalChild(child, SIGTERM);
  };
  try {
    for (;;) {
      std::optional<Clock::time_point> killAt;
      int wait = 100;
      {
        std::lock_guard lock(state.mutex);
        if (deadline && !child.killAt) {
          const auto now = Clock::now();
          if (now >= *deadline) {
            timedOut = signalChild(child, SIGTERM);
          } else {
            // Rounded up, so that the deadline has passed when poll returns.
            const auto left = std::chrono::ceil<milliseconds>(*deadline - now).count();
            wait = static_cast<int>(std::min<decltype(left)>(left, wait));
          }
        }
        killIfOverdue(child);
        killAt = child.killAt;
      }
      // Waking now and then is how a signalled child's end is noticed while
      // something it started still holds the pipe open, and how it is killed
      // when it outstays its grace period.
      pollfd readable{output.get(), POLLIN, 0};
      const int ready = posix::sys::poll(&readable, 1, killAt ? 20 : wait);
      // Interrupted, the loop goes round with its timeouts worked out afresh.
      if (ready < 0 && errno != EINTR) throwErrno(errno, "poll");
      if (killAt && hasEnded(child.pid) && (ready <= 0 || Clock::now() >= *killAt)) break;
      if (ready <= 0) continue;
      const ssize_t count = retryOnInterrupt([&] { return posix::sys::read(output.get(), buffer.data(), buffer.size()); });
      if (count < 0) {
        if (errno == EAGAIN) continue;
        throwErrno(errno, "read");
      }
      if (count == 0) break;
      if (failure) continue;  // the rest is read only so that the child is not blocked while it ends
      try {
        const std::string_view block(buffer.data(), static_cast<std::size_t>(count));
        if (observer) observer(block);
        if (keepOutput) kept.append(block);
      } catch (...) {
        fail();
      }
    }
  } catch (...) {
    fail();
  }
  output.reset();
  const ExitStatus status = reap(state, child);
  if (failure) std::rethrow_exception(failure);
  if (timedOut) throwErrno(ETIMEDOUT, "The tool did not finish within its time limit");
  return CompletedRun{std::move(kept), status};
}

}  // namespace velmora::platform
