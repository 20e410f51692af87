// The one base of the library's failures.
//
// Every failure the library raises is a velmora::Error: its documented English
// text (what(), errorDescription()), its class and case by name, the
// platform's result code behind it where one applies, and what a device
// reported about it. Each subsystem's class (CLIUtilityError,
// LucidLinkCLIError, SMARTError, KernelExtensionError, ZipFolderError) adds its
// own `Case` enumeration, `errorCase()` and payload; catch those to tell cases
// apart, or velmora::Error to handle any of them alike. A process that cannot
// be launched still raises std::system_error with the platform's errno.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velmora {

class Error : public std::runtime_error {
 public:
  ~Error() override;

  // The class's and the case's names as the headers spell them, for
  // reports and logs: "SMARTError", "diskNotFound".
  virtual const char* typeName() const noexcept = 0;
  virtual const char* caseName() const noexcept = 0;

  // The platform's result code behind the failure: an errno value, or on
  // macOS a kern_return_t for a drive; 0 when none applies.
  std::int32_t systemCode() const noexcept { return systemCode_; }
  // What the device itself reported (an NVMe status, ATA registers, SCSI
  // sense), in words; empty when none did.
  virtual const std::string& deviceStatus() const noexcept;

  std::string errorDescription() const { return what(); }

 protected:
  // A NUL byte in `description` (from a name or prefix given by the caller)
  // is kept as the two characters "\0": what() is a C string, which would
  // end there.
  explicit Error(const std::string& description, std::int32_t systemCode = 0);
  Error(const Error&) = default;
  Error& operator=(const Error&) = default;

 private:
  std::int32_t systemCode_;
};

}  // namespace velmora
