/// @file
/// The status and cache reports of one LucidLink instance.
///
/// The tool prints one fact per line as "key: value". The records keep the
/// parsed map and expose the well-known facts; a fact that is missing is an
/// absent optional, never an error. Values are the tool's text, trimmed, never
/// converted to numbers or sizes.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace velmora {

/// A parsed "key: value" report. Keys are exact, case-sensitive texts.
using LucidDictionary = std::map<std::string, std::string>;

/// The "status" report.
class LucidLinkCLIStatusInfo {
 public:
  /// The record of a parsed report.
  explicit LucidLinkCLIStatusInfo(LucidDictionary dictionary) : dictionary_(std::move(dictionary)) {}

  /// "Mount point", as an absolute, standardized file path.
  std::optional<std::filesystem::path> mountPoint() const;
  /// "provider (region)", the provider alone without a region, absent without a provider.
  std::optional<std::string> cloudProvider() const;
  std::optional<std::string> filespaceName() const;  // "Filespace name"
  std::optional<std::string> region() const;         // "Filespace object store region"
  /// Whether "User" contains "[Administrator]"; absent without "User".
  std::optional<bool> isAdmin() const;
  std::optional<std::string> provider() const;  // "Filespace object store provider"
  /// "User" up to its first "[", trimmed; absent without "User".
  std::optional<std::string> userEmail() const;

 private:
  std::optional<std::string> value(const std::string& key) const;
  LucidDictionary dictionary_;
};

/// The "cache" report.
class LucidLinkCLICacheInfo {
 public:
  /// The record of a parsed report.
  explicit LucidLinkCLICacheInfo(LucidDictionary dictionary) : dictionary_(std::move(dictionary)) {}

  std::optional<std::string> cacheLimit() const;              // "Cache limit"
  std::optional<std::string> sizeOnDisk() const;              // "Current size on disk"
  std::optional<std::string> bytesRemainingToUpload() const;  // "Remaining upload"

 private:
  std::optional<std::string> value(const std::string& key) const;
  LucidDictionary dictionary_;
};

}  // namespace velmora
