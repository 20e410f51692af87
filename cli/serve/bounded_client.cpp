#include "serve/bounded_client.hpp"

#include <cerrno>
#include <sstream>
#include <system_error>

#include "front_end.hpp"
#include "velmora/runner/cli_utility_error.hpp"

namespace velmora::cli::serve {

namespace {

// Thrown by the output sink to end a command that writes too much.
struct Overflow {};

std::string seconds(std::chrono::milliseconds duration) {
  std::ostringstream text;
  text << static_cast<double>(duration.count()) / 1000 << " s";
  return text.str();
}

}  // namespace

BoundedClient::BoundedClient(std::string launchPath, std::optional<LucidFileSpaceInfo> info, std::shared_ptr<ToolRuns> runs)
    : LucidLinkCLIUtility(std::move(launchPath)), runs_(std::move(runs)) {
  setFsInfo(std::move(info));
  setRunControl(runs_->control());
  setTimeLimit(runs_->timeLimit());
}

CLIRunResult BoundedClient::runWithExitStatus(const std::vector<std::string>& command,
                                              const std::vector<std::string>& args) const {
  const std::size_t limit = runs_->outputLimit();
  std::string output;
  CLIExitStatus status;
  try {
    status = runStreaming(command, args, [&output, limit](std::string_view block) {
      if (output.size() + block.size() > limit) throw Overflow{};
      output.append(block);
    });
  } catch (const Overflow&) {
    throw ToolRunError("the LucidLink tool wrote more than " + std::to_string(limit / 1024) + " KiB");
  } catch (const std::system_error& error) {
    if (error.code() == std::error_code(ETIMEDOUT, std::system_category())) {
      throw ToolRunError("the LucidLink tool did not finish within " + seconds(timeLimit()));
    }
    if (error.code() == std::error_code(ECANCELED, std::system_category())) throw ToolRunError("the exporter is stopping");
    throw;
  }
  // A run the stop signal ended has no answer worth reading.
  if (runControl()->signalSent() != 0) throw ToolRunError("the exporter is stopping");
  if (!isUtf8(output)) throw CLIUtilityError(CLIUtilityError::Case::failedToParseOutputData);
  return {std::move(output), status};
}

}  // namespace velmora::cli::serve
