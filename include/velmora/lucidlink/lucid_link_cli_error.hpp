// Failures of the LucidLink client, each with a fixed English text.
#pragma once

#include <string>
#include <utility>

#include "velmora/error.hpp"

namespace velmora {

class LucidLinkCLIError : public Error {
 public:
  enum class Case {
    failedToSetOrDeleteConfig,  // payload: the reason; raised by callers only
    lucidNotRunning,
    failedToConvertOutputToDictionary,  // raised by no operation of this library
    failedToFindCompatibleInstanceID,
    invalidOutput,
  };

  // `reason` is the payload of failedToSetOrDeleteConfig; the other cases ignore it.
  explicit LucidLinkCLIError(Case errorCase, std::string reason = {});
  static LucidLinkCLIError failedToSetOrDeleteConfig(std::string reason) {
    return LucidLinkCLIError(Case::failedToSetOrDeleteConfig, std::move(reason));
  }

  Case errorCase() const noexcept { return case_; }
  const char* typeName() const noexcept override { return "LucidLinkCLIError"; }
  const char* caseName() const noexcept override;
  // The payload of failedToSetOrDeleteConfig; empty for the other cases.
  const std::string& reason() const noexcept { return reason_; }

  // failedToSetOrDeleteConfig gives its payload unchanged, the others a fixed text.
  std::string localizedDescription() const { return what(); }

 private:
  Case case_;
  std::string reason_;
};

}  // namespace velmora
