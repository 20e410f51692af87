/// @file
/// Failures of the LucidLink client, each with a fixed English text.
#pragma once

#include <string>
#include <utility>

#include "velmora/error.hpp"

namespace velmora {

/// A failure of the LucidLink client: one of its cases, with its text.
class LucidLinkCLIError : public Error {
 public:
  /// The LucidLink client's failures.
  enum class Case {
    failedToSetOrDeleteConfig,  // payload: the reason; raised by callers only
    /// "Lucid is not running": the tool printed nothing
    lucidNotRunning,
    failedToConvertOutputToDictionary,  // raised by no operation of this library
    /// "Failed to find compatible filespace": no instance has that mount point
    failedToFindCompatibleInstanceID,
    /// "Invalid output from lucid": an answer the parsers refuse
    invalidOutput,
  };

  /// `reason` is the payload of failedToSetOrDeleteConfig; the other cases ignore it.
  explicit LucidLinkCLIError(Case errorCase, std::string reason = {});
  /// The failedToSetOrDeleteConfig failure, whose text is `reason`.
  static LucidLinkCLIError failedToSetOrDeleteConfig(std::string reason) {
    return LucidLinkCLIError(Case::failedToSetOrDeleteConfig, std::move(reason));
  }
  /// The case's text followed by ": " and `detail`, for a failure whose cause
  /// the tool's own answer tells (how it ended, what it printed).
  static LucidLinkCLIError withDetail(Case errorCase, std::string detail);

  /// Which failure this is.
  Case errorCase() const noexcept { return case_; }
  const char* typeName() const noexcept override { return "LucidLinkCLIError"; }
  const char* caseName() const noexcept override;
  /// The payload of failedToSetOrDeleteConfig; empty for the other cases.
  const std::string& reason() const noexcept { return reason_; }
  /// What withDetail() added to the case's text; empty otherwise.
  const std::string& detail() const noexcept { return detail_; }

  /// failedToSetOrDeleteConfig gives its payload unchanged, the others a fixed
  /// text (with ": " and the detail appended when there is one).
  std::string localizedDescription() const { return what(); }

 private:
  LucidLinkCLIError(Case errorCase, std::string reason, std::string detail);

  Case case_;
  std::string reason_;
  std::string detail_;
};

}  // namespace velmora
