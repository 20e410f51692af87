// One-shot tool commands for the exporter, bounded in time and size, and
// stoppable all at once.
//
// The exporter keeps running for weeks beside a tool it does not control: a
// `status` or `cache` that never returns must not hold a collector forever,
// one that floods its output must not fill memory, and a stop signal must
// leave no tool behind. The library's runner waits for the tool however long
// it takes, so the exporter's clients run their one-shot commands here: a
// command that outlasts the deadline, or writes more than the limit, is
// stopped (terminate request, then kill after the library's grace period)
// and fails with ToolRunError at once, while its tool is being ended. Performance runs are the library's own and are
// stopped through their client.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::platform {
class ChildProcess;
}

namespace velmora::cli::serve {

// A one-shot command that timed out, overflowed or was stopped.
class ToolRunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ToolRuns {
 public:
  ToolRuns(std::chrono::milliseconds deadline, std::size_t outputLimit)
      : deadline_(deadline), outputLimit_(outputLimit) {}

  // Runs `path` with `arguments` to its end and returns its standard output
  // and how it ended, as GenericCLIUtility::runWithExitStatus does (same
  // failures for a missing tool, for output that is not UTF-8 and for output
  // that cannot be read), within the deadline and the output limit.
  CLIRunResult run(const std::string& path, const std::vector<std::string>& arguments);

  // Stops every command in flight and fails every later one at once. Never
  // waits: a command's caller returns once its tool is gone, or at its
  // deadline.
  void stopAll();

  // Waits until the tools of commands that failed at their deadline (and
  // were still being ended then) are gone; false if one is not by `deadline`.
  bool waitForStoppedTools(std::chrono::steady_clock::time_point deadline);

 private:
  const std::chrono::milliseconds deadline_;
  const std::size_t outputLimit_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::set<platform::ChildProcess*> inFlight_;
  std::vector<std::shared_ptr<platform::ChildProcess>> ending_;  // stopped at their deadline
};

// A LucidLink client whose one-shot commands go through ToolRuns.
class BoundedClient final : public LucidLinkCLIUtility {
 public:
  BoundedClient(std::string launchPath, std::optional<LucidFileSpaceInfo> info, std::shared_ptr<ToolRuns> runs)
      : LucidLinkCLIUtility(std::move(launchPath)), runs_(std::move(runs)) {
    setFsInfo(std::move(info));
  }
  CLIRunResult runWithExitStatus(const std::vector<std::string>& command,
                                 const std::vector<std::string>& args = {}) const override;

 private:
  std::shared_ptr<ToolRuns> runs_;
};

}  // namespace velmora::cli::serve
