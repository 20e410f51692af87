// Every failure of the library is one shape: caught as velmora::Error, it
// names its class and case and carries its text, result code and device status.
#include <gtest/gtest.h>

#include <functional>

#include "velmora/archive/zip_folder.hpp"
#include "velmora/kext/kernel_extension.hpp"
#include "velmora/lucidlink/lucid_link_cli_error.hpp"
#include "velmora/runner/cli_utility_error.hpp"
#include "velmora/smart/smart_reader.hpp"

namespace velmora {
namespace {

TEST(Error, EveryClassIsCaughtAsOneShape) {
  struct Row {
    std::function<void()> raise;
    const char* type;
    const char* errorCase;
    const char* text;
    std::int32_t systemCode;
    const char* deviceStatus;
  };
  const Row rows[] = {
      {[] { throw CLIUtilityError(CLIUtilityError::Case::launchPathNotFound); }, "CLIUtilityError",
       "launchPathNotFound", "The launch path for the utility does not exist", 0, ""},
      {[] { throw LucidLinkCLIError::failedToSetOrDeleteConfig("refused"); }, "LucidLinkCLIError",
       "failedToSetOrDeleteConfig", "refused", 0, ""},
      {[] { throw SMARTError::failedToReadSMARTData(5, "aborted command"); }, "SMARTError", "failedToReadSMARTData",
       "Failed to read SMART data (kern_return: 5): Input/output error; the device reported aborted command", 5,
       "aborted command"},
      {[] { throw KernelExtensionError(KernelExtensionError::Case::bundleIDNotFound); }, "KernelExtensionError",
       "bundleIDNotFound", "bundle id not found", 0, ""},
      {[] { throw ZipFolderError(ZipFolderError::Case::unreadableItem, "a: gone", 2); }, "ZipFolderError",
       "unreadableItem", "a: gone", 2, ""},
  };
  for (const auto& row : rows) {
    try {
      row.raise();
      ADD_FAILURE() << row.type << " was not thrown";
    } catch (const Error& error) {
      EXPECT_STREQ(error.typeName(), row.type);
      EXPECT_STREQ(error.caseName(), row.errorCase);
      EXPECT_EQ(error.errorDescription(), row.text);
      EXPECT_EQ(error.systemCode(), row.systemCode) << row.type;
      EXPECT_EQ(error.deviceStatus(), row.deviceStatus) << row.type;
    }
  }
}

}  // namespace
}  // namespace velmora
