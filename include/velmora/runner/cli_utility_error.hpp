// The runner's failures, each with a fixed English text.
#pragma once

#include <cstddef>
#include <functional>

#include "velmora/error.hpp"

namespace velmora {

class CLIUtilityError : public Error {
 public:
  enum class Case {
    launchPathNotFound,
    failedToReadPipeData,  // kept for callers that match on it; never raised
    failedToParseOutputData,
  };

  explicit CLIUtilityError(Case errorCase);

  Case errorCase() const noexcept { return case_; }
  const char* typeName() const noexcept override { return "CLIUtilityError"; }
  const char* caseName() const noexcept override;

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
