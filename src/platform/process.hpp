// Child processes: started with posix_spawn from the exact argument vector
// (the executable's path is argv[0]; every element is one argument, empty
// strings included), standard output on a pipe, standard input, standard
// error, environment and working directory inherited.
//
// Every child is reaped, and a child is never signalled after it has been
// reaped (its pid may belong to an unrelated process by then). Pipe ends are
// close-on-exec, so a child started at the same moment from another thread
// never holds this child's pipe open.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::platform {

// Called with each block of output as soon as it has been read.
using OutputObserver = std::function<void(std::string_view block)>;

// How a reaped child ended: it exited with a status, or a signal ended it.
struct ExitStatus {
  bool signaled = false;
  int code = 0;  // the exit status, or the signal's number

  static ExitStatus fromWaitStatus(int waitStatus) noexcept;
  bool succeeded() const noexcept { return !signaled && code == 0; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

struct CompletedRun {
  std::string output;
  ExitStatus status;
};

// Starts `path` with `arguments`, reads its standard output to the end while
// it runs, reaps it and returns everything it wrote with how it ended.
// `observer`, if set, sees every block in order before the result is
// assembled. Throws std::system_error with the platform's errno when the
// child cannot be started (nothing is left behind then) or the pipe cannot be
// read.
CompletedRun runToEnd(const std::string& path, const std::vector<std::string>& arguments,
                      const OutputObserver& observer = {});

// Lets other threads signal the children of the runs that use it
// (runUnderControl), any number at once. Once signalled, it starts no child.
class RunControl {
 public:
  RunControl();
  ~RunControl();
  RunControl(const RunControl&) = delete;
  RunControl& operator=(const RunControl&) = delete;

  // Sends `signal` to every child running under this control; a child still
  // running ChildProcess::kTerminateGrace later is killed. Only the first call counts.
  // Waits for nothing; any thread, also from an observer; never throws.
  void signal(int signal) noexcept;
  // The first signal asked for, 0 before any.
  int signalSent() const noexcept;

  struct State;
  State& state() noexcept { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

// Runs `path` with `arguments` to its end on the calling thread, as runToEnd
// does, under `control`: `observer` sees each block as it is read, and the
// output is also returned when `keepOutput` is set. A child that a signal
// has ended is not waited for past its end: its output stops there, even
// when a process it started still holds the pipe. An observer that throws
// ends the run: the child is sent SIGTERM (SIGKILL after the same grace),
// the rest of its output is read and dropped, and once it has been reaped
// the exception is rethrown. A child still running at `deadline` (if set)
// is ended the same way, unless a signal came first, and the run then throws
// std::system_error with ETIMEDOUT once it has been reaped. Throws
// std::system_error with ECANCELED, and starts nothing, when the control has
// been signalled already; otherwise as runToEnd.
CompletedRun runUnderControl(const std::string& path, const std::vector<std::string>& arguments,
                             const OutputObserver& observer, bool keepOutput, RunControl& control,
                             std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

// Called once a child has been reaped, with its pid, how it ended, whether a
// stop had been asked for before it was reaped, and the errno of a failure
// to read its output (0 when the output was read to its end or a stop ended
// the reading).
using EndObserver = std::function<void(std::int32_t pid, ExitStatus status, bool stopped, int outputError)>;

// A long-running child whose output is handed to a callback as it arrives,
// on a monitor thread of its own, and which can be stopped from any thread
// without waiting for anything.
//
// The monitor thread reads until the end of the output (or until `stop`),
// closes the read end, reaps the child, then reports the end. After `stop`, a
// child that is still alive when the grace period has passed is killed, so
// that nothing outlives its handle for long. Reading is retried when
// interrupted (EINTR, EAGAIN); when it fails for good (EIO, ENOMEM ...), the
// child is terminated as by `stop` and its end carries that errno. The thread keeps the shared
// state alive by itself: dropping the handle never waits for the child.
class ChildProcess {
 public:
  // How long a stopped child may take to act on the terminate request.
  static constexpr std::chrono::milliseconds kTerminateGrace{3000};

  ChildProcess(std::string path, std::vector<std::string> arguments);
  ~ChildProcess();  // stops the child if it is still running, unless letRunToEnd() was called

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the child and its monitor thread. `onOutput` is called on that
  // thread with each block read, never twice at once; `onEnd` is called on it
  // exactly once, after the last `onOutput` and after the child has been
  // reaped, also when it was stopped. Exceptions from either are swallowed.
  // Throws std::system_error (errno of the launch) on failure: the handle
  // then stays "never started" and neither callback is ever called.
  // Throws std::logic_error when called a second time.
  void start(OutputObserver onOutput = {}, EndObserver onEnd = {});

  // The child's process identifier; 0 when it was never started.
  std::int32_t pid() const noexcept;

  // Started and not yet reaped.
  bool isRunning() const noexcept;

  // Closes the reading end of the output pipe (through the monitor) and, if
  // the child is running, sends it SIGTERM. Waits for nothing: neither the
  // child nor a callback in progress. Once it has returned no new `onOutput`
  // call begins (one already running on another thread may finish); `onEnd`
  // still follows once the child has been reaped. May be called from the
  // callbacks; idempotent; never throws.
  void stop() noexcept;

  // Dropping the handle will not stop the child: it runs to its end and is
  // reaped by its monitor thread (for short-lived helpers nobody waits for).
  void letRunToEnd() noexcept { stopOnDestruction_ = false; }

  // Set once stop() has been called; readable from the callbacks, which run
  // only while the flag's owner is alive.
  const std::atomic<bool>& stopFlag() const noexcept;

  // Blocks until the child has been reaped or `timeout` has passed; true if
  // it has been reaped. A child that never started counts as reaped.
  bool waitForExit(std::chrono::milliseconds timeout) const;

  struct State;

 private:
  std::string path_;
  std::vector<std::string> arguments_;
  std::shared_ptr<State> state_;
  bool stopOnDestruction_ = true;
};

}  // namespace velmora::platform
