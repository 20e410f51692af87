// Reading the SMART health of a drive, by a mounted volume's path or a
// disk's BSD name (on Linux a block device name such as sda or nvme0n1),
// into a drive-health message.
//
// The reader finds the block storage device behind the name (walking up from
// a partition or volume), opens its NVMe SMART user client or, failing that,
// its ATA one, reads and converts.
//
// Threads: all requests of one reader run one at a time on the reader's own
// serial executor. The reader's operations block their caller until their
// turn has run (called from that executor, they run at once); a retriever's
// operations return at once with a std::future.
// Lifetimes: a retriever keeps its reader alive. Nothing is cached between
// requests but a retriever's BSD name; every request opens and gives back
// its own device references.
// Errors: every failure is a SMARTError. Result codes are the platform's:
// errno values on Linux, kern_return_t values on macOS.
#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "velmora/error.hpp"
#include "velmora/smart/drive_health.hpp"

namespace velmora {

// The text of a platform result code: the system's, or "Unknown kernel
// error " and the code in signed decimal.
std::string kernelReturnText(std::int32_t code);

// systemCode() is the result code, deviceStatus() the drive's own status.
class SMARTError : public Error {
 public:
  enum class Case {
    DADiskError,
    diskNotFound,
    failedToGetParentEntry,
    failedToCreatePluginInterface,
    failedToQuerySMARTInterface,
    failedToReadSMARTData,
    failedToReadSMART,
    failedToGetIODisk,
    diskDoesNotConformToBlockStorageDevice,  // raised nowhere in this library
    diskNotNVMeSMARTCapable,
    failedToGetSMARTInterface,
    diskNotATASmartCapable,
  };

  // The plain cases.
  explicit SMARTError(Case errorCase);
  static SMARTError DADiskError(std::string message);
  static SMARTError diskNotFound(std::string bsdName);
  static SMARTError failedToGetParentEntry(std::int32_t kernReturn);
  static SMARTError failedToCreatePluginInterface(std::int32_t kernReturn);
  static SMARTError failedToQuerySMARTInterface(std::int32_t kernReturn);
  // `deviceStatus`: what the drive itself reported, when it did.
  static SMARTError failedToReadSMARTData(std::int32_t kernReturn, std::string deviceStatus = {});
  static SMARTError failedToReadSMART(std::optional<SMARTError> nvme, std::optional<SMARTError> ata);

  Case errorCase() const noexcept { return case_; }
  const char* typeName() const noexcept override { return "SMARTError"; }
  const char* caseName() const noexcept override;
  const std::string& text() const noexcept { return text_; }  // message or BSD name
  std::int32_t kernReturn() const noexcept { return systemCode(); }
  // The drive's own status (an NVMe status field, ATA registers, SCSI
  // sense) in words; empty when the drive reported none.
  const std::string& deviceStatus() const noexcept override { return deviceStatus_; }
  const SMARTError* nvme() const noexcept { return nvme_.get(); }
  const SMARTError* ata() const noexcept { return ata_.get(); }

  // what() and errorDescription(): the case's fixed text, followed by
  // "; the device reported " and the device status when there is one.

  // True when the drive merely offers no SMART user client (not NVMe and not
  // ATA SMART capable), as opposed to a real failure.
  bool isCompatibilityError() const noexcept;

 private:
  SMARTError(Case errorCase, std::string text, std::int32_t kernReturn, std::string deviceStatus,
             std::shared_ptr<const SMARTError> nvme, std::shared_ptr<const SMARTError> ata);
  Case case_;
  std::string text_;
  std::string deviceStatus_;
  std::shared_ptr<const SMARTError> nvme_;
  std::shared_ptr<const SMARTError> ata_;
};

class SMARTReader : public std::enable_shared_from_this<SMARTReader> {
 public:
  // A reader of this machine's drives.
  static std::shared_ptr<SMARTReader> create();
  // The process-wide reader of this machine.
  static const std::shared_ptr<SMARTReader>& shared();
  virtual ~SMARTReader();

  // A drive that was asked for by volume. Its operations run on the
  // reader's executor; the device is looked up afresh for each.
  class SMARTDataRetriever {
   public:
    SMARTDataRetriever(std::shared_ptr<SMARTReader> reader, std::string bsdName)
        : reader_(std::move(reader)), bsdName_(std::move(bsdName)) {}
    const std::string& bsdName() const noexcept { return bsdName_; }
    std::future<cloud::SMARTData> getSMARTData() const;
    std::future<cloud::DriveHealthSnapshot> getSnapshot() const;

   private:
    std::shared_ptr<SMARTReader> reader_;
    std::string bsdName_;
  };

  // Throw SMARTError.
  virtual cloud::SMARTData getDriveSMARTData(const std::filesystem::path& driveURL);
  virtual cloud::SMARTData getDriveSMARTData(const std::string& BSDName);
  virtual std::shared_ptr<SMARTDataRetriever> smartDataRetriever(const std::filesystem::path& driveURL);

  // The library's own state (its device registry and executor); defined in
  // its sources only.
  struct Impl;

 private:
  explicit SMARTReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
