// What a LucidLinkCLIUtility holds: its instance, read and replaced from any
// thread, and the registry of its performance runs.
#pragma once

#include <mutex>
#include <optional>

#include "lucidlink/process_registry.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

struct LucidLinkCLIUtility::Impl {
  explicit Impl(std::optional<LucidFileSpaceInfo> info) : fsInfo(std::move(info)) {}

  std::mutex fsInfoMutex;
  std::optional<LucidFileSpaceInfo> fsInfo;
  detail::ProcessRegistry processes;
};

}  // namespace velmora
