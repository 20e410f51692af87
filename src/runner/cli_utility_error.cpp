#include "velmora/runner/cli_utility_error.hpp"

namespace velmora {

const char* CLIUtilityError::what() const noexcept {
  switch (case_) {
    case Case::launchPathNotFound:
      return "The launch path for the utility does not exist";
    case Case::failedToReadPipeData:
      return "Failed to read output data from the pipe";
    case Case::failedToParseOutputData:
      return "Failed to parse output data";
  }
  return "Unknown command-line utility error";
}

}  // namespace velmora
