// The runner's failures, each with a fixed English text.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>

namespace velmora {

class CLIUtilityError : public std::exception {
 public:
  enum class Case {
    launchPathNotFound,
    failedToReadPipeData,  // kept for callers that match on it; never raised
    failedToParseOutputData,
  };

  explicit CLIUtilityError(Case errorCase) noexcept : case_(errorCase) {}

  Case errorCase() const noexcept { return case_; }
  std::string errorDescription() const { return what(); }
  const char* what() const noexcept override;

  friend bool operator==(const CLIUtilityError& a, const CLIUtilityError& b) noexcept {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
};

}  // namespace velmora

template <>
struct std::hash<velmora::CLIUtilityError> {
  std::size_t operator()(const velmora::CLIUtilityError& e) const noexcept {
    return std::hash<int>{}(static_cast<int>(e.errorCase()));
  }
};
