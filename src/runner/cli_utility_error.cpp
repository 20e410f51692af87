#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {

namespace {

const char* describe(CLIUtilityError::Case errorCase) {
  using Case = CLIUtilityError::Case;
  switch (errorCase) {
    case Case::launchPathNotFound: return "The launch path for the utility does not exist";
    case Case::failedToReadPipeData: return "Failed to read output data from the pipe";
    case Case::failedToParseOutputData: return "Failed to parse output data";
  }
  return "Unknown command-line utility error";
}

}  // namespace

CLIUtilityError::CLIUtilityError(Case errorCase) : Error(describe(errorCase)), case_(errorCase) {}

const char* CLIUtilityError::caseName() const noexcept {
  switch (case_) {
    case Case::launchPathNotFound: return "launchPathNotFound";
    case Case::failedToReadPipeData: return "failedToReadPipeData";
    case Case::failedToParseOutputData: return "failedToParseOutputData";
  }
  return "unknown";
}

}  // namespace velmora
