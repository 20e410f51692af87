#include "velmora/lucidlink/lucid_link_cli_error.hpp"

#include <utility>

namespace velmora {

namespace {

std::string describe(LucidLinkCLIError::Case errorCase, const std::string& reason) {
  using Case = LucidLinkCLIError::Case;
  switch (errorCase) {
    case Case::failedToSetOrDeleteConfig:
      return reason;
    case Case::lucidNotRunning:
      return "Lucid is not running";
    case Case::failedToConvertOutputToDictionary:
      return "Failed to parse lucidLink output";
    case Case::failedToFindCompatibleInstanceID:
      return "Failed to find compatible filespace";
    case Case::invalidOutput:
      return "Invalid output from lucid";
  }
  return "Unknown LucidLink error";
}

}  // namespace

LucidLinkCLIError::LucidLinkCLIError(Case errorCase, std::string reason)
    : Error(describe(errorCase, reason)),
      case_(errorCase),
      reason_(errorCase == Case::failedToSetOrDeleteConfig ? std::move(reason) : std::string()) {}

const char* LucidLinkCLIError::caseName() const noexcept {
  switch (case_) {
    case Case::failedToSetOrDeleteConfig: return "failedToSetOrDeleteConfig";
    case Case::lucidNotRunning: return "lucidNotRunning";
    case Case::failedToConvertOutputToDictionary: return "failedToConvertOutputToDictionary";
    case Case::failedToFindCompatibleInstanceID: return "failedToFindCompatibleInstanceID";
    case Case::invalidOutput: return "invalidOutput";
  }
  return "unknown";
}

}  // namespace velmora
