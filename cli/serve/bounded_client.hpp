// One-shot tool commands for the exporter, bounded in time and size, and
// stoppable all at once.
//
// The exporter keeps running for weeks beside a tool it does not control: a
// `status` or `cache` that never returns must not hold a collector forever,
// one that floods its output must not fill memory, and a stop signal must
// leave no tool behind. So the exporter's clients run their one-shot commands
// with the library's time limit, under one run control that stopAll()
// signals, and take the output as a stream whose size they watch. A command
// that outlasts the limit or writes more than its share is ended (terminate
// request, then kill after the library's grace period) and fails with
// ToolRunError once its tool is gone. Performance runs are the library's own
// and are stopped through their client.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::cli::serve {

// A one-shot command that timed out, overflowed or was stopped.
class ToolRunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the one-shot commands of a set of clients share: their bounds and
// the control that stops them all.
class ToolRuns {
 public:
  ToolRuns(std::chrono::milliseconds timeLimit, std::size_t outputLimit)
      : timeLimit_(timeLimit), outputLimit_(outputLimit), control_(std::make_shared<CLIRunControl>()) {}

  // Stops every command in flight and fails every later one at once. Never
  // waits: a command's caller returns once its tool is gone.
  void stopAll() noexcept { control_->stop(); }

  std::chrono::milliseconds timeLimit() const noexcept { return timeLimit_; }
  std::size_t outputLimit() const noexcept { return outputLimit_; }
  const std::shared_ptr<CLIRunControl>& control() const noexcept { return control_; }

 private:
  const std::chrono::milliseconds timeLimit_;
  const std::size_t outputLimit_;
  const std::shared_ptr<CLIRunControl> control_;
};

// A LucidLink client whose one-shot commands (its reports included) are
// bounded by `runs`. Same failures as the library's runs for a missing tool,
// output that is not UTF-8 or cannot be read; ToolRunError for a command
// that timed out, overflowed or was stopped.
class BoundedClient final : public LucidLinkCLIUtility {
 public:
  BoundedClient(std::string launchPath, std::optional<LucidFileSpaceInfo> info, std::shared_ptr<ToolRuns> runs);

  CLIRunResult runWithExitStatus(const std::vector<std::string>& command,
                                 const std::vector<std::string>& args = {}) const override;

 private:
  std::shared_ptr<ToolRuns> runs_;
};

}  // namespace velmora::cli::serve
