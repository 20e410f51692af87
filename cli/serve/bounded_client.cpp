#include "serve/bounded_client.hpp"

#include <condition_variable>
#include <filesystem>
#include <sstream>
#include <system_error>

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
  platform::ExitStatus status;
  int outputError = 0;
};

std::string seconds(std::chrono::milliseconds duration) {
  std::ostringstream text;
  text << static_cast<double>(duration.count()) / 1000 << " s";
  return text.str();
}

}  // namespace

CLIRunResult ToolRuns::run(const std::string& path, const std::vector<std::string>& arguments) {
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
      [outcome](std::int32_t, platform::ExitStatus status, bool, int outputError) {
        std::lock_guard lock(outcome->mutex);
        outcome->status = status;
        outcome->outputError = outputError;
        outcome->ended = true;
        outcome->changed.notify_all();
      });

  std::unique_lock lock(outcome->mutex);
  if (!outcome->changed.wait_for(lock, deadline_, [&] { return outcome->ended; })) {
    // The failure is told now; the library kills a tool that ignores the
    // terminate request after its grace period, and a stop waits for that.
    child->stop();
    std::lock_guard runsLock(mutex_);
    std::erase_if(ending_, [](const auto& ending) { return !ending->isRunning(); });
    ending_.push_back(child);
    throw ToolRunError("the LucidLink tool did not finish within " + seconds(deadline_));
  }
  if (outcome->overflowed) {
    throw ToolRunError("the LucidLink tool wrote more than " + std::to_string(limit / 1024) + " KiB");
  }
  if (child->stopFlag()) throw ToolRunError("the exporter is stopping");
  if (outcome->outputError != 0) throw std::system_error(outcome->outputError, std::system_category(), "read");
  if (!detail::isValidUtf8(outcome->output)) throw CLIUtilityError(CLIUtilityError::Case::failedToParseOutputData);
  return {std::move(outcome->output), {outcome->status.signaled, outcome->status.code}};
}

void ToolRuns::stopAll() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  for (platform::ChildProcess* child : inFlight_) child->stop();
}

bool ToolRuns::waitForStoppedTools(std::chrono::steady_clock::time_point deadline) {
  std::vector<std::shared_ptr<platform::ChildProcess>> ending;
  {
    std::lock_guard lock(mutex_);
    ending = ending_;
  }
  bool gone = true;
  for (const auto& child : ending) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    gone = child->waitForExit(std::max(left, std::chrono::milliseconds(0))) && gone;
  }
  return gone;
}

CLIRunResult BoundedClient::runWithExitStatus(const std::vector<std::string>& command,
                                              const std::vector<std::string>& args) const {
  std::vector<std::string> arguments = command;
  arguments.insert(arguments.end(), args.begin(), args.end());
  return runs_->run(launchPath(), arguments);
}

}  // namespace velmora::cli::serve
