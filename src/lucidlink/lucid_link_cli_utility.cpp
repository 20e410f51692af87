#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

#include <algorithm>
#include <utility>

#include "platform/process.hpp"

namespace velmora {

LucidLinkCLIUtility::LucidLinkCLIUtility(std::string launchPath)
    : GenericCLIUtility(std::move(launchPath)) {}

LucidLinkCLIUtility::LucidLinkCLIUtility(std::string launchPath, LucidFileSpaceInfo fsInfo)
    : GenericCLIUtility(std::move(launchPath)), fsInfo_(std::move(fsInfo)) {}

LucidLinkCLIUtility::~LucidLinkCLIUtility() { killAllProcesses(); }

std::optional<LucidFileSpaceInfo> LucidLinkCLIUtility::fsInfo() const {
  std::lock_guard lock(fsInfoMutex_);
  return fsInfo_;
}

void LucidLinkCLIUtility::setFsInfo(std::optional<LucidFileSpaceInfo> fsInfo) {
  std::lock_guard lock(fsInfoMutex_);
  fsInfo_ = std::move(fsInfo);
}

std::optional<std::string> LucidLinkCLIUtility::instanceID() const {
  auto info = fsInfo();
  if (!info) return std::nullopt;
  return std::move(info->instanceID);
}

std::string LucidLinkCLIUtility::runInstanceSpecificCommand(
    const std::vector<std::string>& command, const std::vector<std::string>& args) const {
  std::vector<std::string> words;
  if (auto id = instanceID()) {
    words.reserve(command.size() + 2);
    words.push_back("--instance");
    words.push_back(std::move(*id));
  }
  words.insert(words.end(), command.begin(), command.end());
  return run(words, args);
}

void LucidLinkCLIUtility::registerProcess(std::shared_ptr<platform::ChildProcess> process) {
  std::lock_guard lock(mutex_);
  runningProcesses_.push_back(std::move(process));
}

void LucidLinkCLIUtility::cancelProcessWithId(std::int32_t processIdentifier) {
  std::shared_ptr<platform::ChildProcess> found;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(runningProcesses_.begin(), runningProcesses_.end(),
                           [&](const auto& process) { return process->pid() == processIdentifier; });
    if (it == runningProcesses_.end()) return;
    found = std::move(*it);
    runningProcesses_.erase(it);
  }
  found->stop();
}

void LucidLinkCLIUtility::killAllProcesses() {
  std::vector<std::shared_ptr<platform::ChildProcess>> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(runningProcesses_);
  }
  for (const auto& process : taken) process->stop();
}

std::vector<std::int32_t> LucidLinkCLIUtility::runningProcesses() const {
  std::lock_guard lock(mutex_);
  std::vector<std::int32_t> ids;
  ids.reserve(runningProcesses_.size());
  for (const auto& process : runningProcesses_) ids.push_back(process->pid());
  return ids;
}

}  // namespace velmora
