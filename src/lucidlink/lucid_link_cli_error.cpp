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
    : case_(errorCase),
      reason_(errorCase == Case::failedToSetOrDeleteConfig ? std::move(reason) : std::string()),
      description_(describe(case_, reason_)) {}

LucidLinkCLIError LucidLinkCLIError::withDetail(Case errorCase, std::string detail) {
  LucidLinkCLIError error(errorCase);
  if (!detail.empty()) error.description_ += ": " + detail;
  error.detail_ = std::move(detail);
  return error;
}

}  // namespace velmora
