/// @file
/// Running an outside command-line tool to completion.
///
/// `CLIUtility` is what any runnable tool offers; `GenericCLIUtility` is the
/// concrete runner for one executable path. A run starts the tool with exactly
/// the given argument vector (no quoting, empty strings kept), captures its
/// standard output while it runs, waits for it to exit and returns the whole
/// output as UTF-8 text. Standard input and standard error are inherited; the
/// tool starts with no signal blocked and SIGHUP, SIGINT, SIGTERM and SIGPIPE
/// at their default actions, whatever the host ignores. A tool's exit status
/// never makes a run fail: `run` ignores it, and `runWithExitStatus` returns
/// it next to the output. `runStreaming` hands the output over as it comes
/// instead, whatever its bytes, and keeps none of it.
///
/// A `CLIRunControl` given to a utility lets another thread signal its runs
/// while they wait for their tool (a supervisor forwarding its stop signals, a
/// manager stopping its listing tool). Without one, a run cannot be stopped.
/// A time limit given to a utility (setTimeLimit) ends a run whose tool
/// outlasts it; without one, a run waits for its tool however long it takes.
///
/// Failures are thrown:
///   - `CLIUtilityError` (launchPathNotFound, failedToParseOutputData);
///   - `std::system_error` carrying the platform's errno when the process
///     cannot be started (not executable, a directory, no resources),
///     ECANCELED when the utility's run control was signalled before it, or
///     ETIMEDOUT when the tool outlasted the utility's time limit.
///
/// Calls keep no shared state: any number may run at once from any threads.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

namespace platform {
class RunControl;
}

/// How a tool ended: it exited with a status, or a signal ended it.
struct CLIExitStatus {
  bool signaled = false;  // a signal ended the tool
  int code = 0;  // the exit status (0 to 255), or the signal's number

  /// It exited with status 0.
  bool succeeded() const noexcept { return !signaled && code == 0; }
  /// As a shell reports it: the exit status, or 128 plus the signal's number.
  int shellStatus() const noexcept { return signaled ? 128 + code : code; }
  /// Equal when both fields are.
  friend bool operator==(const CLIExitStatus&, const CLIExitStatus&) = default;
};

/// A tool's whole standard output and how the tool ended.
struct CLIRunResult {
  std::string output;  // valid UTF-8
  CLIExitStatus exitStatus;  // how it ended
};

/// Receives a tool's output as it is read, block by block, in order.
using CLIOutputSink = std::function<void(std::string_view bytes)>;

/// Signals the runs of the utilities it is given to (setRunControl), from any
/// thread, while they wait for their tool.
class CLIRunControl {
 public:
  CLIRunControl();
  ~CLIRunControl();
  CLIRunControl(const CLIRunControl&) = delete;
  CLIRunControl& operator=(const CLIRunControl&) = delete;

  /// Sends `signalNumber` itself to the tool of every run in progress under
  /// this control; a tool still running 3 seconds later is killed (SIGKILL),
  /// and the run returns once it has been reaped, also when a process the
  /// tool started still holds its output open. From then on a run under
  /// this control starts no tool: it fails with std::system_error
  /// (ECANCELED). Only the first call counts. Waits for nothing, never throws;
  /// from any thread, a sink included.
  void signal(int signalNumber) noexcept;
  /// signal(SIGTERM).
  void stop() noexcept;
  /// The signal sent, 0 before any.
  int signalSent() const noexcept;

 private:
  friend class GenericCLIUtility;
  /// The control inside, for the library's other runners of processes.
  friend platform::RunControl& platformControl(CLIRunControl& control) noexcept;
  std::unique_ptr<platform::RunControl> control_;
};

/// What any runnable tool offers.
class CLIUtility {
 public:
  virtual ~CLIUtility() = default;

  /// Absolute path of the tool's executable.
  virtual const std::string& launchPath() const = 0;

  /// Runs the tool with `command` followed by `args` as its arguments and
  /// returns its whole standard output.
  /// @throws CLIUtilityError launchPathNotFound, or failedToParseOutputData
  ///   when the output is not valid UTF-8.
  /// @throws std::system_error when the tool cannot be started, or ECANCELED
  ///   or ETIMEDOUT as the file's description says.
  virtual std::string run(const std::vector<std::string>& command,
                          const std::vector<std::string>& args) const = 0;

  /// Runs the tool with `command` and no further arguments; fails as the
  /// other run() does.
  virtual std::string run(const std::vector<std::string>& command) const;

  /// True when the tool starts and writes valid UTF-8 for a single empty
  /// argument, whatever its exit status. Never throws.
  virtual bool isInstalled() const;

 protected:
  ///@{
  /// For subclasses; copies run the same tool.
  CLIUtility() = default;
  CLIUtility(const CLIUtility&) = default;
  CLIUtility& operator=(const CLIUtility&) = default;
  ///@}
};

/// The runner of one executable path.
class GenericCLIUtility : public CLIUtility {
 public:
  /// Nothing is checked here: a missing tool is noticed when it is run.
  explicit GenericCLIUtility(std::string launchPath);

  const std::string& launchPath() const override { return launchPath_; }

  using CLIUtility::run;
  std::string run(const std::vector<std::string>& command,
                  const std::vector<std::string>& args) const override;

  /// Runs the tool as `run` does (same arguments, same failures) and also
  /// returns how it ended. `run` is this without the exit status: a subclass
  /// that runs the tool another way (bounded in time, say) overrides this
  /// one, and every run of the class, the LucidLink client's reports
  /// included, goes through it.
  virtual CLIRunResult runWithExitStatus(const std::vector<std::string>& command,
                                         const std::vector<std::string>& args = {}) const;

  /// Runs the tool as `run` does (same arguments, same launch failures) and
  /// hands its standard output to `sink` as it comes, on the calling thread,
  /// byte for byte whether it is UTF-8 or not; nothing is kept, so memory
  /// stays bounded whatever the output's size. A sink that blocks holds the
  /// tool back once its pipe is full, and delays the kill that follows a
  /// signal until it returns. Returns how the tool ended, once it has
  /// been reaped. A sink that throws ends the run: the tool is sent SIGTERM
  /// (SIGKILL 3 seconds later), the rest of its output is dropped, and the
  /// exception is rethrown once the tool has been reaped.
  /// @throws CLIUtilityError launchPathNotFound.
  /// @throws std::system_error as run() does.
  CLIExitStatus runStreaming(const std::vector<std::string>& command, const std::vector<std::string>& args,
                             const CLIOutputSink& sink) const;

  /// Runs that start after this call can be signalled through `control`
  /// (nullptr: none). Not synchronised: set it before the utility is shared
  /// between threads.
  void setRunControl(std::shared_ptr<CLIRunControl> control) noexcept { runControl_ = std::move(control); }
  /// The control set by setRunControl(), or nullptr.
  const std::shared_ptr<CLIRunControl>& runControl() const noexcept { return runControl_; }

  /// Runs that start after this call may last `limit` (zero or less: no
  /// limit, the default). A tool still running then is sent SIGTERM (SIGKILL
  /// 3 seconds later, as a run control does) and, once it has been reaped,
  /// the run fails with std::system_error (ETIMEDOUT); a sink has seen the
  /// output up to then. A run control's signal that came first wins: that
  /// run returns as a signalled one does. Not synchronised: set it before the
  /// utility is shared between threads.
  void setTimeLimit(std::chrono::milliseconds limit) noexcept { timeLimit_ = limit; }
  /// The limit set by setTimeLimit(); zero: none.
  std::chrono::milliseconds timeLimit() const noexcept { return timeLimit_; }

 private:
  std::vector<std::string> argumentsFor(const std::vector<std::string>& command,
                                        const std::vector<std::string>& args) const;
  std::optional<std::chrono::steady_clock::time_point> deadlineFromNow() const;

  std::string launchPath_;
  std::shared_ptr<CLIRunControl> runControl_;
  std::chrono::milliseconds timeLimit_{0};
};

}  // namespace velmora
