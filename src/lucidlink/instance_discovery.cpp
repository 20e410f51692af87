#include <optional>

#include "lucidlink/instance_discovery.hpp"
#include "lucidlink/parsers.hpp"
#include "lucidlink/paths.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

std::vector<LucidFileSpaceInfo> LucidLinkCLIUtility::list() const {
  return detail::parseFilespaceTable(runInstanceSpecificCommand({"list"}));
}

std::vector<LucidFileSpaceInfo> LucidLinkCLIUtility::listAllFilespaces(const std::string& launchPath) {
  return detail::listAllFilespaces(launchPath, nullptr);
}

namespace detail {

std::vector<LucidFileSpaceInfo> listAllFilespaces(const std::string& launchPath, std::shared_ptr<CLIRunControl> control) {
  LucidLinkCLIUtility client(launchPath);
  client.setRunControl(std::move(control));
  return client.list();
}

std::optional<std::filesystem::path> reportedMountPoint(const LucidLinkCLIUtility& client) {
  try {
    return client.statusInfo().mountPoint();
  } catch (...) {
    return std::nullopt;  // this instance is skipped; the next may do
  }
}

}  // namespace detail

std::shared_ptr<LucidLinkCLIUtility> LucidLinkCLIUtility::utility(const std::filesystem::path& mountPoint,
                                                                  const std::string& launchPath) {
  const std::string wanted =
      detail::normalizedForComparison(detail::standardizedFilePath(mountPoint).string());
  for (const auto& record : listAllFilespaces(launchPath)) {
    auto client = std::make_shared<LucidLinkCLIUtility>(launchPath, record);
    const auto mounted = detail::reportedMountPoint(*client);
    if (mounted && detail::normalizedForComparison(mounted->string()) == wanted) return client;
  }
  throw LucidLinkCLIError(LucidLinkCLIError::Case::failedToFindCompatibleInstanceID);
}

}  // namespace velmora
