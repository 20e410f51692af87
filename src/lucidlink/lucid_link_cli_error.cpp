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
    : LucidLinkCLIError(errorCase, std::move(reason), std::string()) {}

LucidLinkCLIError::LucidLinkCLIError(Case errorCase, std::string reason, std::string detail)
    : Error(detail.empty() ? describe(errorCase, reason) : describe(errorCase, reason) + ": " + detail),
      case_(errorCase),
      reason_(errorCase == Case::failedToSetOrDeleteConfig ? std::move(reason) : std::string()),
      detail_(std::move(detail)) {}

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

LucidLinkCLIError LucidLinkCLIError::withDetail(Case errorCase, std::string detail) {
  return LucidLinkCLIError(errorCase, std::string(), std::move(detail));
}

}  // namespace velmora
