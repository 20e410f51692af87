#include "velmora/lucidlink/lucid_link_reports.hpp"

#include "lucidlink/parsers.hpp"
#include "lucidlink/paths.hpp"
#include "lucidlink/text.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

namespace {

std::optional<std::string> lookUp(const LucidDictionary& dictionary, const std::string& key) {
  const auto found = dictionary.find(key);
  if (found == dictionary.end()) return std::nullopt;
  return found->second;
}

LucidDictionary runReport(const LucidLinkCLIUtility& client, const std::string& command) {
  const std::string output = client.runInstanceSpecificCommand({command});
  if (output.empty()) throw LucidLinkCLIError(LucidLinkCLIError::Case::lucidNotRunning);
  return detail::parseKeyValueOutput(output);
}

}  // namespace

std::optional<std::string> LucidLinkCLIStatusInfo::value(const std::string& key) const {
  return lookUp(dictionary_, key);
}

std::optional<std::filesystem::path> LucidLinkCLIStatusInfo::mountPoint() const {
  auto text = value("Mount point");
  if (!text) return std::nullopt;
  return detail::mountPointFromReport(*text);
}

std::optional<std::string> LucidLinkCLIStatusInfo::cloudProvider() const {
  auto providerText = provider();
  if (!providerText) return std::nullopt;
  const auto regionText = region();
  if (!regionText) return providerText;
  return *providerText + " (" + *regionText + ")";
}

std::optional<std::string> LucidLinkCLIStatusInfo::filespaceName() const { return value("Filespace name"); }
std::optional<std::string> LucidLinkCLIStatusInfo::region() const {
  return value("Filespace object store region");
}
std::optional<std::string> LucidLinkCLIStatusInfo::provider() const {
  return value("Filespace object store provider");
}

std::optional<bool> LucidLinkCLIStatusInfo::isAdmin() const {
  const auto user = value("User");
  if (!user) return std::nullopt;
  return user->find("[Administrator]") != std::string::npos;
}

std::optional<std::string> LucidLinkCLIStatusInfo::userEmail() const {
  const auto user = value("User");
  if (!user) return std::nullopt;
  const auto pieces = detail::splitNonEmpty(*user, [](char32_t c) noexcept { return c == U'['; });
  if (pieces.empty()) return user;
  return std::string(detail::trim(pieces.front(), detail::isWhitespaceOrNewline));
}

std::optional<std::string> LucidLinkCLICacheInfo::value(const std::string& key) const {
  return lookUp(dictionary_, key);
}

std::optional<std::string> LucidLinkCLICacheInfo::cacheLimit() const { return value("Cache limit"); }
std::optional<std::string> LucidLinkCLICacheInfo::sizeOnDisk() const { return value("Current size on disk"); }
std::optional<std::string> LucidLinkCLICacheInfo::bytesRemainingToUpload() const {
  return value("Remaining upload");
}

LucidDictionary LucidLinkCLIUtility::status() const { return runReport(*this, "status"); }

LucidLinkCLIStatusInfo LucidLinkCLIUtility::statusInfo() const { return LucidLinkCLIStatusInfo(status()); }

LucidDictionary LucidLinkCLIUtility::cache() const { return runReport(*this, "cache"); }

LucidLinkCLICacheInfo LucidLinkCLIUtility::cacheInfo() const { return LucidLinkCLICacheInfo(cache()); }

}  // namespace velmora
