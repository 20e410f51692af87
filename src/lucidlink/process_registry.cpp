#include "lucidlink/process_registry.hpp"

#include <algorithm>
#include <utility>

#include "platform/process.hpp"

namespace velmora::detail {

ProcessRegistry::~ProcessRegistry() { stopAll(); }

void ProcessRegistry::add(std::shared_ptr<platform::ChildProcess> process) {
  std::lock_guard lock(mutex_);
  processes_.push_back(std::move(process));
}

void ProcessRegistry::cancel(std::int32_t processIdentifier) {
  std::shared_ptr<platform::ChildProcess> found;
  {
    std::lock_guard lock(mutex_);
    const auto matches = [&](const auto& process) { return process->pid() == processIdentifier; };
    auto it = std::find_if(processes_.begin(), processes_.end(),
                           [&](const auto& process) { return matches(process) && process->isRunning(); });
    if (it == processes_.end()) it = std::find_if(processes_.begin(), processes_.end(), matches);
    if (it == processes_.end()) return;
    found = std::move(*it);
    processes_.erase(it);
  }
  found->stop();
}

void ProcessRegistry::stopAll() {
  std::vector<std::shared_ptr<platform::ChildProcess>> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(processes_);
  }
  for (const auto& process : taken) process->stop();
}

std::vector<std::int32_t> ProcessRegistry::processIdentifiers() const {
  std::lock_guard lock(mutex_);
  std::vector<std::int32_t> ids;
  ids.reserve(processes_.size());
  for (const auto& process : processes_) ids.push_back(process->pid());
  return ids;
}

}  // namespace velmora::detail
