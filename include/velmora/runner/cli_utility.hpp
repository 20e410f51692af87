// Running an outside command-line tool to completion.
//
// `CLIUtility` is what any runnable tool offers; `GenericCLIUtility` is the
// concrete runner for one executable path. A run starts the tool with exactly
// the given argument vector (no quoting, empty strings kept), captures its
// standard output while it runs, waits for it to exit and returns the whole
// output as UTF-8 text. Standard input and standard error are inherited; the
// exit status is never examined.
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

 private:
  std::string launchPath_;
};

}  // namespace velmora
