// Running an outside command-line tool to completion.
//
// `CLIUtility` is what any runnable tool offers; `GenericCLIUtility` is the
// concrete runner for one executable path. A run starts the tool with exactly
// the given argument vector (no quoting, empty strings kept), captures its
// standard output while it runs, waits for it to exit and returns the whole
// output as UTF-8 text. Standard input and standard error are inherited. A
// tool's exit status never makes a run fail: `run` ignores it, and
// `runWithExitStatus` returns it next to the output.
//
// Failures are thrown:
//   - `CLIUtilityError` (launchPathNotFound, failedToParseOutputData);
//   - `std::system_error` carrying the platform's errno when the process
//     cannot be started (not executable, a directory, no resources).
//
// Calls keep no shared state: any number may run at once from any threads.
#pragma once

#include <string>
#include <vector>

namespace velmora {

// How a tool ended: it exited with a status, or a signal ended it.
struct CLIExitStatus {
  bool signaled = false;
  int code = 0;  // the exit status (0 to 255), or the signal's number

  bool succeeded() const noexcept { return !signaled && code == 0; }
  // As a shell reports it: the exit status, or 128 plus the signal's number.
  int shellStatus() const noexcept { return signaled ? 128 + code : code; }
  friend bool operator==(const CLIExitStatus&, const CLIExitStatus&) = default;
};

// A tool's whole standard output and how the tool ended.
struct CLIRunResult {
  std::string output;
  CLIExitStatus exitStatus;
};

class CLIUtility {
 public:
  virtual ~CLIUtility() = default;

  // Absolute path of the tool's executable.
  virtual const std::string& launchPath() const = 0;

  // Runs the tool with `command` followed by `args` as its arguments and
  // returns its whole standard output.
  virtual std::string run(const std::vector<std::string>& command,
                          const std::vector<std::string>& args) const = 0;

  // Runs the tool with `command` and no further arguments.
  virtual std::string run(const std::vector<std::string>& command) const;

  // True when the tool starts and writes valid UTF-8 for a single empty
  // argument, whatever its exit status. Never throws.
  virtual bool isInstalled() const;

 protected:
  CLIUtility() = default;
  CLIUtility(const CLIUtility&) = default;
  CLIUtility& operator=(const CLIUtility&) = default;
};

class GenericCLIUtility : public CLIUtility {
 public:
  // Nothing is checked here: a missing tool is noticed when it is run.
  explicit GenericCLIUtility(std::string launchPath);

  const std::string& launchPath() const override { return launchPath_; }

  using CLIUtility::run;
  std::string run(const std::vector<std::string>& command,
                  const std::vector<std::string>& args) const override;

  // Runs the tool as `run` does (same arguments, same failures) and also
  // returns how it ended. `run` is this without the exit status: a subclass
  // that runs the tool another way (bounded in time, say) overrides this
  // one, and every run of the class, the LucidLink client's reports
  // included, goes through it.
  virtual CLIRunResult runWithExitStatus(const std::vector<std::string>& command,
                                         const std::vector<std::string>& args = {}) const;

 private:
  std::string launchPath_;
};

}  // namespace velmora
