#include "velmora/lucidlink/lucid_link_reports.hpp"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "lucidlink/parsers.hpp"
#include "lucidlink/paths.hpp"
#include "lucidlink/text.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

namespace {

// The facts the records read.
constexpr const char* kMountPoint = "Mount point";
constexpr const char* kFilespaceName = "Filespace name";
constexpr const char* kProvider = "Filespace object store provider";
constexpr const char* kRegion = "Filespace object store region";
constexpr const char* kUser = "User";
constexpr const char* kCacheLimit = "Cache limit";
constexpr const char* kSizeOnDisk = "Current size on disk";
constexpr const char* kRemainingUpload = "Remaining upload";

std::optional<std::string> lookUp(const LucidDictionary& dictionary, const std::string& key) {
  const auto found = dictionary.find(key);
  if (found == dictionary.end()) return std::nullopt;
  return found->second;
}

// What of a failed report's output goes into the error's text.
constexpr std::size_t kOutputShownInError = 4096;

// The output as one line of text that is safe on a terminal: control
// characters (C0, DEL and C1) escaped, so that it can neither forge lines nor
// drive the terminal that shows the error; cut after kOutputShownInError bytes.
std::string shownOutput(std::string_view output) {
  output = detail::trim(output, detail::isWhitespaceOrNewline);
  std::size_t cut = std::min(output.size(), kOutputShownInError);  // on a character's first byte: still UTF-8
  while (cut > 0 && cut < output.size() && (static_cast<unsigned char>(output[cut]) & 0xC0) == 0x80) --cut;
  std::string shown;
  for (std::size_t i = 0; i < cut; ++i) {
    const auto byte = static_cast<unsigned char>(output[i]);
    const bool c1 = byte == 0xC2 && i + 1 < cut && static_cast<unsigned char>(output[i + 1]) < 0xA0;
    if (byte >= 0x20 && byte != 0x7F && !c1) {
      shown += output[i];
      continue;
    }
    const unsigned code = c1 ? static_cast<unsigned char>(output[++i]) : byte;
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, code == '\n' ? "\\n" : c1 ? "\\u%04x" : "\\x%02x", code);
    shown += escaped;
  }
  if (cut < output.size()) shown += " ... [" + std::to_string(output.size() - cut) + " more bytes]";
  return shown;
}

// Runs one report command. Nothing printed means the instance is not
// running; a tool that failed, or printed none of the facts the record reads,
// gave no report, and a record of absent facts would pass that off as one.
LucidDictionary runReport(const LucidLinkCLIUtility& client, const std::string& command,
                          std::initializer_list<const char*> keys) {
  const CLIRunResult result = client.runInstanceSpecificCommandWithExitStatus({command});
  if (result.output.empty()) throw LucidLinkCLIError(LucidLinkCLIError::Case::lucidNotRunning);
  std::string problem;
  if (result.exitStatus.signaled) {
    problem = "was ended by signal " + std::to_string(result.exitStatus.code);
  } else if (result.exitStatus.code != 0) {
    problem = "exited with status " + std::to_string(result.exitStatus.code);
  } else {
    LucidDictionary report = detail::parseKeyValueOutput(result.output);
    for (const auto key : keys) {
      if (report.count(key) != 0) return report;
    }
    problem = "printed none of the report's keys";
  }
  const std::string shown = shownOutput(result.output);
  throw LucidLinkCLIError::withDetail(LucidLinkCLIError::Case::invalidOutput,
                                      "the " + command + " command " + problem +
                                          (shown.empty() ? "; it printed only white space" : "; it printed: " + shown));
}

}  // namespace

std::optional<std::string> LucidLinkCLIStatusInfo::value(const std::string& key) const {
  return lookUp(dictionary_, key);
}

std::optional<std::filesystem::path> LucidLinkCLIStatusInfo::mountPoint() const {
  auto text = value(kMountPoint);
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

std::optional<std::string> LucidLinkCLIStatusInfo::filespaceName() const { return value(kFilespaceName); }
std::optional<std::string> LucidLinkCLIStatusInfo::region() const {
  return value(kRegion);
}
std::optional<std::string> LucidLinkCLIStatusInfo::provider() const {
  return value(kProvider);
}

std::optional<bool> LucidLinkCLIStatusInfo::isAdmin() const {
  const auto user = value(kUser);
  if (!user) return std::nullopt;
  return user->find("[Administrator]") != std::string::npos;
}

std::optional<std::string> LucidLinkCLIStatusInfo::userEmail() const {
  const auto user = value(kUser);
  if (!user) return std::nullopt;
  const auto pieces = detail::splitNonEmpty(*user, [](char32_t c) noexcept { return c == U'['; });
  if (pieces.empty()) return user;
  return std::string(detail::trim(pieces.front(), detail::isWhitespaceOrNewline));
}

std::optional<std::string> LucidLinkCLICacheInfo::value(const std::string& key) const {
  return lookUp(dictionary_, key);
}

std::optional<std::string> LucidLinkCLICacheInfo::cacheLimit() const { return value(kCacheLimit); }
std::optional<std::string> LucidLinkCLICacheInfo::sizeOnDisk() const { return value(kSizeOnDisk); }
std::optional<std::string> LucidLinkCLICacheInfo::bytesRemainingToUpload() const {
  return value(kRemainingUpload);
}

LucidDictionary LucidLinkCLIUtility::status() const {
  return runReport(*this, "status", {kMountPoint, kFilespaceName, kProvider, kRegion, kUser});
}

LucidLinkCLIStatusInfo LucidLinkCLIUtility::statusInfo() const { return LucidLinkCLIStatusInfo(status()); }

LucidDictionary LucidLinkCLIUtility::cache() const {
  return runReport(*this, "cache", {kCacheLimit, kSizeOnDisk, kRemainingUpload});
}

LucidLinkCLICacheInfo LucidLinkCLIUtility::cacheInfo() const { return LucidLinkCLICacheInfo(cache()); }

}  // namespace velmora
