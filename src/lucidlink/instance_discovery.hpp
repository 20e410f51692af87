// Finding where a listed instance is mounted: shared by the instance lookup
// and the manager.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::detail {

// listAllFilespaces(), its tool run under `control`.
std::vector<LucidFileSpaceInfo> listAllFilespaces(const std::string& launchPath, std::shared_ptr<CLIRunControl> control);

// The standardized mount point the instance's status report gives; nothing
// when there is no report (the failure is dropped) or it names none.
std::optional<std::filesystem::path> reportedMountPoint(const LucidLinkCLIUtility& client);

}  // namespace velmora::detail
