#include "velmora/runner/cli_utility.hpp"

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

GenericCLIUtility::GenericCLIUtility(std::string launchPath) : launchPath_(std::move(launchPath)) {}

std::string GenericCLIUtility::run(const std::vector<std::string>& command,
                                   const std::vector<std::string>& args) const {
  return runWithExitStatus(command, args).output;
}

CLIRunResult GenericCLIUtility::runWithExitStatus(const std::vector<std::string>& command,
                                                  const std::vector<std::string>& args) const {
  if (!platform::fileExists(launchPath_)) {
    throw CLIUtilityError(CLIUtilityError::Case::launchPathNotFound);
  }
  std::vector<std::string> arguments;
  arguments.reserve(command.size() + args.size());
  arguments.insert(arguments.end(), command.begin(), command.end());
  arguments.insert(arguments.end(), args.begin(), args.end());

  // Checked block by block as it is read, while the bytes are still in cache.
  detail::Utf8Validator validator;
  platform::CompletedRun completed =
      platform::runToEnd(launchPath_, arguments, [&validator](std::string_view block) { validator.feed(block); });
  if (!validator.finish()) {
    throw CLIUtilityError(CLIUtilityError::Case::failedToParseOutputData);
  }
  return {std::move(completed.output), {completed.status.signaled, completed.status.code}};
}

}  // namespace velmora
