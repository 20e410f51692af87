// The two pass-through ioctls of the Linux drive backend, as a seam: the
// NVMe admin command and SCSI SG_IO (which carries ATA PASS-THROUGH). The
// real implementation issues them on an open device node; tests put a table
// of expected commands with canned replies in its place.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velmora::platform {

struct NVMeAdminCommand {
  std::uint8_t opcode = 0;
  std::uint32_t nsid = 0;
  std::array<std::uint32_t, 6> cdw{};  // command dwords 10 to 15
  std::span<std::uint8_t> data;        // filled by the device
};

struct NVMeOutcome {
  int error = 0;             // errno of the ioctl; 0 when the command completed
  std::uint32_t status = 0;  // the completion's status field (0: success)
};

struct SCSICommand {
  std::span<const std::uint8_t> cdb;
  std::span<std::uint8_t> dataIn;  // empty: no data phase
};

struct SCSIOutcome {
  int error = 0;                    // errno of the ioctl
  std::uint8_t status = 0;          // SCSI status (0x02: check condition)
  std::uint16_t hostStatus = 0;     // the host adapter's, 0 when fine
  std::uint16_t driverStatus = 0;   // the driver's; 0x08 only flags sense data
  std::vector<std::uint8_t> sense;  // as many bytes as the device returned
};

class Passthrough {
 public:
  virtual ~Passthrough() = default;
  virtual NVMeOutcome nvmeAdmin(const NVMeAdminCommand& command) = 0;
  virtual SCSIOutcome scsi(const SCSICommand& command) = 0;
};

// Opens a device node for pass-through (read-only, non-blocking,
// close-on-exec). On failure returns nullptr and sets `error` to errno.
std::unique_ptr<Passthrough> openPassthrough(const std::string& path, int& error);

}  // namespace velmora::platform
