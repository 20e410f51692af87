/// @file
/// The runner's failures, each with a fixed English text.
#pragma once

#include <cstddef>
#include <functional>

#include "velmora/error.hpp"

namespace velmora {

/// A failure of the runner: one of its cases, with that case's fixed text.
class CLIUtilityError : public Error {
 public:
  /// The runner's failures.
  enum class Case {
    launchPathNotFound,       // "The launch path for the utility does not exist"
    failedToReadPipeData,     // kept for callers that match on it; never raised
    failedToParseOutputData,  // "Failed to parse output data": the output is not valid UTF-8
  };

  /// The failure of `errorCase`, with its text.
  explicit CLIUtilityError(Case errorCase);

  /// Which failure this is.
  Case errorCase() const noexcept { return case_; }
  const char* typeName() const noexcept override { return "CLIUtilityError"; }
  const char* caseName() const noexcept override;

  /// Equal when the cases are.
  friend bool operator==(const CLIUtilityError& a, const CLIUtilityError& b) noexcept {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
};

}  // namespace velmora

/// Hashes the case, as equality compares it.
template <>
struct std::hash<velmora::CLIUtilityError> {
  /// The case's hash.
  std::size_t operator()(const velmora::CLIUtilityError& e) const noexcept {
    return std::hash<int>{}(static_cast<int>(e.errorCase()));
  }
};
