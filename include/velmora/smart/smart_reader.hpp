/// @file
/// Reading the SMART health of a drive, by a mounted volume's path or a
/// disk's BSD name (on Linux a block device name such as sda or nvme0n1),
/// into a drive-health message.
///
/// The reader finds the block storage device behind the name (walking up from
/// a partition or volume), opens its NVMe SMART user client or, failing that,
/// its ATA one, reads and converts.
///
/// Threads: all requests of one reader run one at a time on the reader's own
/// serial executor. The reader's operations block their caller until their
/// turn has run (called from that executor, they run at once); a retriever's
/// operations return at once with a std::future.
/// Lifetimes: a retriever keeps its reader alive. Nothing is cached between
/// requests but a retriever's BSD name; every request opens and gives back
/// its own device references.
/// Errors: every failure is a SMARTError. Result codes are the platform's:
/// errno values on Linux, kern_return_t values on macOS.
#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/error.hpp"
#include "velmora/smart/drive_health.hpp"

namespace velmora {

/// The text of a platform result code: the system's, or "Unknown kernel
/// error " and the code in signed decimal.
std::string kernelReturnText(std::int32_t code);

/// A failure to read a drive's SMART health.
/// systemCode() is the result code, deviceStatus() the drive's own status.
class SMARTError : public Error {
 public:
  /// The SMART reader's failures.
  enum class Case {
    DADiskError,                             // payload: the message; the volume's disk could not be found
    diskNotFound,                            // payload: the BSD name; no disk has it
    failedToGetParentEntry,                  // result code: walking up from a partition failed
    failedToCreatePluginInterface,           // result code: the user client could not be opened
    failedToQuerySMARTInterface,             // result code: it offers no SMART interface
    failedToReadSMARTData,                   // result code and device status: the read failed
    failedToReadSMART,                       // neither client opened: nvme() and ata() say why
    failedToGetIODisk,                       // no block storage device above the entry
    diskDoesNotConformToBlockStorageDevice,  // raised nowhere in this library
    diskNotNVMeSMARTCapable,                 // the disk offers no NVMe SMART client
    failedToGetSMARTInterface,               // the opened client lost its interface
    diskNotATASmartCapable,                  // the disk offers no ATA SMART client
  };

  /// The plain cases.
  explicit SMARTError(Case errorCase);
  ///@{
  /// The cases with a payload.
  static SMARTError DADiskError(std::string message);
  static SMARTError diskNotFound(std::string bsdName);
  static SMARTError failedToGetParentEntry(std::int32_t kernReturn);
  static SMARTError failedToCreatePluginInterface(std::int32_t kernReturn);
  static SMARTError failedToQuerySMARTInterface(std::int32_t kernReturn);
  ///@}
  /// `deviceStatus`: what the drive itself reported, when it did.
  static SMARTError failedToReadSMARTData(std::int32_t kernReturn, std::string deviceStatus = {});
  /// Why neither the NVMe nor the ATA client could be used.
  static SMARTError failedToReadSMART(std::optional<SMARTError> nvme, std::optional<SMARTError> ata);

  /// Which failure this is.
  Case errorCase() const noexcept { return case_; }
  const char* typeName() const noexcept override { return "SMARTError"; }
  const char* caseName() const noexcept override;
  const std::string& text() const noexcept { return text_; }  // message or BSD name; empty for the others
  /// systemCode(), under its macOS name.
  std::int32_t kernReturn() const noexcept { return systemCode(); }
  /// The drive's own status (an NVMe status field, ATA registers, SCSI
  /// sense) in words; empty when the drive reported none.
  const std::string& deviceStatus() const noexcept override { return deviceStatus_; }
  ///@{
  /// failedToReadSMART's reasons, for NVMe and ATA; nullptr when none.
  const SMARTError* nvme() const noexcept { return nvme_.get(); }
  const SMARTError* ata() const noexcept { return ata_.get(); }
  ///@}

  // what() and errorDescription(): the case's fixed text, followed by
  // "; the device reported " and the device status when there is one.

  /// True when the drive merely offers no SMART user client (not NVMe and not
  /// ATA SMART capable), as opposed to a real failure.
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

namespace detail {
struct SMARTReaderImpl;
}

/// Reads drives' SMART health; see the file's description for threads.
class SMARTReader : public std::enable_shared_from_this<SMARTReader> {
 public:
  /// A reader of this machine's drives.
  static std::shared_ptr<SMARTReader> create();
  /// The process-wide reader of this machine.
  static const std::shared_ptr<SMARTReader>& shared();
  virtual ~SMARTReader();

  /// One drive, made by smartDataRetriever() or
  /// smartDataRetrieverForBSDName(). Its operations run on the reader's
  /// executor; the device is looked up afresh for each.
  class SMARTDataRetriever {
   public:
    /// The disk's BSD name.
    const std::string& bsdName() const noexcept { return bsdName_; }
    ///@{
    /// The drive's health values, or a snapshot of them; the future holds
    /// the SMARTError of a failed read.
    std::future<cloud::SMARTData> getSMARTData() const;
    std::future<cloud::DriveHealthSnapshot> getSnapshot() const;
    ///@}

   private:
    friend class SMARTReader;
    SMARTDataRetriever(std::shared_ptr<SMARTReader> reader, std::string bsdName)
        : reader_(std::move(reader)), bsdName_(std::move(bsdName)) {}
    std::shared_ptr<SMARTReader> reader_;
    std::string bsdName_;
  };

  /// A whole drive of this machine: its BSD name (on Linux its block device
  /// name), and its model and serial number where the platform gives them.
  struct Drive {
    std::string bsdName;  // "sda", "nvme0n1", "disk0"
    std::optional<std::string> model;  // the model, when the platform gives it
    std::optional<std::string> serial;  // the serial number, when it does
    /// Equal when every field is.
    friend bool operator==(const Drive&, const Drive&) = default;
  };
  /// The machine's whole drives, sorted by name: no partitions, on Linux no
  /// virtual devices (loop, RAM, device-mapper, RAID), on macOS no disks
  /// that APFS synthesizes and no disk images. Needs no privilege. Throws
  /// std::system_error: the platform's errno when its registry cannot be
  /// read (EIO on macOS, with IOKit's text), ENOTSUP where this library
  /// lists no drives (platforms other than Linux and macOS).
  /// @throws std::system_error in the cases above.
  std::vector<Drive> drives();

  ///@{
  /// The health values of the drive holding the volume mounted at
  /// `driveURL`, or of the disk named `BSDName`.
  /// @throws SMARTError
  virtual cloud::SMARTData getDriveSMARTData(const std::filesystem::path& driveURL);
  virtual cloud::SMARTData getDriveSMARTData(const std::string& BSDName);
  ///@}
  /// A retriever of the drive holding the volume mounted at `driveURL`.
  /// @throws SMARTError DADiskError when no disk is found for it.
  virtual std::shared_ptr<SMARTDataRetriever> smartDataRetriever(const std::filesystem::path& driveURL);
  /// A retriever of the disk with this BSD name. Nothing is looked up yet: a
  /// name that matches no disk fails each request with diskNotFound.
  std::shared_ptr<SMARTDataRetriever> smartDataRetrieverForBSDName(const std::string& BSDName);

 private:
  friend struct detail::SMARTReaderImpl;  // the device registry and executor
  explicit SMARTReader(std::unique_ptr<detail::SMARTReaderImpl> impl);
  std::unique_ptr<detail::SMARTReaderImpl> impl_;
};

}  // namespace velmora
