#include "velmora/runner/cli_utility.hpp"

#include <csignal>
#include <utility>

#include "platform/file_system.hpp"
#include "platform/process.hpp"
#include "runner/utf8.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {

std::string CLIUtility::run(const std::vector<std::string>& command) const {
  return run(command, {});
}

bool CLIUtility::isInstalled() const {
  try {
    run({""});
    return true;
  } catch (...) {
    return false;
  }
}

CLIRunControl::CLIRunControl() : control_(std::make_unique<platform::RunControl>()) {}

CLIRunControl::~CLIRunControl() = default;

void CLIRunControl::signal(int signalNumber) noexcept { control_->signal(signalNumber); }

void CLIRunControl::stop() noexcept { signal(SIGTERM); }

int CLIRunControl::signalSent() const noexcept { return control_->signalSent(); }

platform::RunControl& platformControl(CLIRunControl& control) noexcept { return *control.control_; }

GenericCLIUtility::GenericCLIUtility(std::string launchPath) : launchPath_(std::move(launchPath)) {}

std::string GenericCLIUtility::run(const std::vector<std::string>& command,
                                   const std::vector<std::string>& args) const {
  return runWithExitStatus(command, args).output;
}

std::vector<std::string> GenericCLIUtility::argumentsFor(const std::vector<std::string>& command,
                                                         const std::vector<std::string>& args) const {
  if (!platform::fileExists(launchPath_)) {
    throw CLIUtilityError(CLIUtilityError::Case::launchPathNotFound);
  }
  std::vector<std::string> arguments;
  arguments.reserve(command.size() + args.size());
  arguments.insert(arguments.end(), command.begin(), command.end());
  arguments.insert(arguments.end(), args.begin(), args.end());
  return arguments;
}

std::optional<std::chrono::steady_clock::time_point> GenericCLIUtility::deadlineFromNow() const {
  if (timeLimit_ <= std::chrono::milliseconds::zero()) return std::nullopt;
  return std::chrono::steady_clock::now() + timeLimit_;
}

CLIRunResult GenericCLIUtility::runWithExitStatus(const std::vector<std::string>& command,
                                                  const std::vector<std::string>& args) const {
  const std::vector<std::string> arguments = argumentsFor(command, args);
  // Checked block by block as it is read, while the bytes are still in cache.
  detail::Utf8Validator validator;
  const auto validate = [&validator](std::string_view block) { validator.feed(block); };
  // The control is taken once: a run keeps the one it started with. A time
  // limit needs a controlled run, under a control of its own if need be.
  std::shared_ptr<CLIRunControl> control = runControl_;
  const auto deadline = deadlineFromNow();
  if (deadline && !control) control = std::make_shared<CLIRunControl>();
  platform::CompletedRun completed =
      control ? platform::runUnderControl(launchPath_, arguments, validate, /*keepOutput=*/true, *control->control_, deadline)
              : platform::runToEnd(launchPath_, arguments, validate);
  if (!validator.finish()) {
    throw CLIUtilityError(CLIUtilityError::Case::failedToParseOutputData);
  }
  return {std::move(completed.output), {completed.status.signaled, completed.status.code}};
}

CLIExitStatus GenericCLIUtility::runStreaming(const std::vector<std::string>& command,
                                              const std::vector<std::string>& args, const CLIOutputSink& sink) const {
  const std::vector<std::string> arguments = argumentsFor(command, args);
  // A run under control is what stops the tool when the sink fails; without
  // the caller's control, it gets one of its own.
  std::shared_ptr<CLIRunControl> control = runControl_;
  if (!control) control = std::make_shared<CLIRunControl>();
  const platform::CompletedRun completed =
      platform::runUnderControl(launchPath_, arguments, sink, /*keepOutput=*/false, *control->control_, deadlineFromNow());
  return {completed.status.signaled, completed.status.code};
}

}  // namespace velmora
