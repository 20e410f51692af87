#include "velmora/lucidlink/lucid_link_reports.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "lucidlink/client_impl.hpp"
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

// Runs one report command through the overridable runInstanceSpecificCommand.
// Nothing printed means the instance is not running. A tool that exited 0
// gave a report, whatever facts it holds (a missing fact is an absent
// property, never an error); one that printed something but failed or was
// killed gave none, and a record of absent facts would pass that off as one.
LucidDictionary runReport(const LucidLinkCLIUtility& client, const std::string& command) {
  detail::ExitStatusCapture capture(client);
  const std::string output = client.runInstanceSpecificCommand({command});
  if (output.empty()) throw LucidLinkCLIError(LucidLinkCLIError::Case::lucidNotRunning);
  // An override that did not run the tool through the default gave its text
  // as the report.
  const CLIExitStatus ended = capture.status().value_or(CLIExitStatus{});
  if (ended.succeeded()) return detail::parseKeyValueOutput(output);
  const std::string problem = ended.signaled ? "was ended by signal " + std::to_string(ended.code)
                                             : "exited with status " + std::to_string(ended.code);
  const std::string shown = shownOutput(output);
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
  return runReport(*this, "status");
}

LucidLinkCLIStatusInfo LucidLinkCLIUtility::statusInfo() const { return LucidLinkCLIStatusInfo(status()); }

LucidDictionary LucidLinkCLIUtility::cache() const {
  return runReport(*this, "cache");
}

LucidLinkCLICacheInfo LucidLinkCLIUtility::cacheInfo() const { return LucidLinkCLICacheInfo(cache()); }

}  // namespace velmora
