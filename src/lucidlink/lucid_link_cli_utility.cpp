#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

#include <utility>

#include "lucidlink/client_impl.hpp"

namespace velmora {

LucidLinkCLIUtility::LucidLinkCLIUtility(std::string launchPath)
    : GenericCLIUtility(std::move(launchPath)), impl_(std::make_unique<Impl>(std::nullopt)) {}

LucidLinkCLIUtility::LucidLinkCLIUtility(std::string launchPath, LucidFileSpaceInfo fsInfo)
    : GenericCLIUtility(std::move(launchPath)), impl_(std::make_unique<Impl>(std::move(fsInfo))) {}

LucidLinkCLIUtility::~LucidLinkCLIUtility() { killAllProcesses(); }

std::optional<LucidFileSpaceInfo> LucidLinkCLIUtility::fsInfo() const {
  std::lock_guard lock(impl_->fsInfoMutex);
  return impl_->fsInfo;
}

void LucidLinkCLIUtility::setFsInfo(std::optional<LucidFileSpaceInfo> fsInfo) {
  std::lock_guard lock(impl_->fsInfoMutex);
  impl_->fsInfo = std::move(fsInfo);
}

std::optional<std::string> LucidLinkCLIUtility::instanceID() const {
  auto info = fsInfo();
  if (!info) return std::nullopt;
  return std::move(info->instanceID);
}

namespace detail {

namespace {
thread_local ExitStatusCapture* tInnermostCapture = nullptr;
}  // namespace

ExitStatusCapture::ExitStatusCapture(const LucidLinkCLIUtility& client) noexcept
    : client_(client), outer_(tInnermostCapture) {
  tInnermostCapture = this;
}

ExitStatusCapture::~ExitStatusCapture() { tInnermostCapture = outer_; }

void ExitStatusCapture::record(const LucidLinkCLIUtility& client, const CLIExitStatus& status) noexcept {
  for (ExitStatusCapture* capture = tInnermostCapture; capture; capture = capture->outer_) {
    if (&capture->client_ == &client) {
      capture->status_ = status;
      return;
    }
  }
}

}  // namespace detail

namespace {

std::vector<std::string> withInstancePrefix(std::optional<std::string> id, const std::vector<std::string>& command) {
  std::vector<std::string> words;
  if (id) {
    words.reserve(command.size() + 2);
    words.push_back("--instance");
    words.push_back(std::move(*id));
  }
  words.insert(words.end(), command.begin(), command.end());
  return words;
}

}  // namespace

std::string LucidLinkCLIUtility::runInstanceSpecificCommand(
    const std::vector<std::string>& command, const std::vector<std::string>& args) const {
  CLIRunResult result = runInstanceSpecificCommandWithExitStatus(command, args);
  detail::ExitStatusCapture::record(*this, result.exitStatus);
  return std::move(result.output);
}

CLIRunResult LucidLinkCLIUtility::runInstanceSpecificCommandWithExitStatus(
    const std::vector<std::string>& command, const std::vector<std::string>& args) const {
  return runWithExitStatus(withInstancePrefix(instanceID(), command), args);
}

void LucidLinkCLIUtility::cancelProcessWithId(std::int32_t processIdentifier) {
  impl_->processes.cancel(processIdentifier);
}

void LucidLinkCLIUtility::killAllProcesses() { impl_->processes.stopAll(); }

std::vector<std::int32_t> LucidLinkCLIUtility::runningProcesses() const {
  return impl_->processes.processIdentifiers();
}

}  // namespace velmora
