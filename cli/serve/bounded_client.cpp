#include "serve/bounded_client.hpp"

#include <condition_variable>
#include <filesystem>
#include <sstream>

#include "platform/process.hpp"
#include "runner/utf8.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora::cli::serve {

namespace {

// What the run's monitor thread hands back; `output` is its own until `ended`.
struct Outcome {
  std::mutex mutex;
  std::condition_variable changed;
  bool ended = false;
  bool overflowed = false;
  std::string output;
};

std::string seconds(std::chrono::milliseconds duration) {
  std::ostringstream text;
  text << static_cast<double>(duration.count()) / 1000 << " s";
  return text.str();
}

}  // namespace

std::string ToolRuns::run(const std::string& path, const std::vector<std::string>& arguments) {
  std::error_code missing;
  if (!std::filesystem::is_regular_file(path, missing)) throw CLIUtilityError(CLIUtilityError::Case::launchPathNotFound);
  auto child = std::make_shared<platform::ChildProcess>(path, arguments);
  {
    std::lock_guard lock(mutex_);
    if (stopping_) throw ToolRunError("the exporter is stopping");
    inFlight_.insert(child.get());
  }
  struct Registration {
    ToolRuns& runs;
    platform::ChildProcess* child;
    ~Registration() {
      std::lock_guard lock(runs.mutex_);
      runs.inFlight_.erase(child);
    }
  } registration{*this, child.get()};

  auto outcome = std::make_shared<Outcome>();
  const std::weak_ptr<platform::ChildProcess> weak = child;
  const std::size_t limit = outputLimit_;
  child->start(
      [outcome, weak, limit](std::string_view block) {
        if (outcome->output.size() + block.size() > limit) {
          outcome->overflowed = true;
          if (const auto running = weak.lock()) running->stop();
          return;
        }
        outcome->output.append(block);
      },
      [outcome](std::int32_t, platform::ExitStatus, bool) {
        std::lock_guard lock(outcome->mutex);
        outcome->ended = true;
        outcome->changed.notify_all();
      });

  std::unique_lock lock(outcome->mutex);
  const bool inTime = outcome->changed.wait_for(lock, deadline_, [&] { return outcome->ended; });
  if (!inTime) {
    child->stop();
    // The library kills a tool that ignores the terminate request after its
    // grace period; one that cannot even be killed (stuck in the kernel) is
    // left to the monitor thread rather than holding the collector.
    const auto patience = platform::ChildProcess::kTerminateGrace + std::chrono::seconds(2);
    if (!outcome->changed.wait_for(lock, patience, [&] { return outcome->ended; })) {
      throw ToolRunError("the LucidLink tool did not finish within " + seconds(deadline_) + " and could not be ended");
    }
    throw ToolRunError("the LucidLink tool did not finish within " + seconds(deadline_));
  }
  if (outcome->overflowed) {
    throw ToolRunError("the LucidLink tool wrote more than " + std::to_string(limit / 1024) + " KiB");
  }
  if (child->stopFlag()) throw ToolRunError("the exporter is stopping");
  if (!detail::isValidUtf8(outcome->output)) throw CLIUtilityError(CLIUtilityError::Case::failedToParseOutputData);
  return std::move(outcome->output);
}

void ToolRuns::stopAll() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  for (platform::ChildProcess* child : inFlight_) child->stop();
}

std::string BoundedClient::run(const std::vector<std::string>& command, const std::vector<std::string>& args) const {
  std::vector<std::string> arguments = command;
  arguments.insert(arguments.end(), args.begin(), args.end());
  return runs_->run(launchPath(), arguments);
}

}  // namespace velmora::cli::serve
