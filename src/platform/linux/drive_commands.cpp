#include "platform/linux/drive_commands.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>

namespace velmora::platform {

namespace {

std::string hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// Names of the status codes a SMART log read may plausibly meet.
const char* nvmeStatusName(unsigned type, unsigned code) {
  if (type == 0) {
    switch (code) {
      case 0x01: return "Invalid Command Opcode";
      case 0x02: return "Invalid Field in Command";
      case 0x04: return "Data Transfer Error";
      case 0x06: return "Internal Error";
      case 0x0B: return "Invalid Namespace or Format";
    }
  }
  if (type == 1 && code == 0x09) return "Invalid Log Page";
  return nullptr;
}

DeviceResult nvmeResult(const NVMeOutcome& outcome) {
  if (outcome.error != 0) return outcome.error;
  if (outcome.status == 0) return kKernSuccess;
  // Status field: code in bits 0-7, code type in bits 8-10.
  const unsigned code = outcome.status & 0xFF;
  const unsigned type = (outcome.status >> 8) & 0x7;
  std::string text = "NVMe status " + hex(outcome.status, 4) + " (type " + std::to_string(type) + ", code " +
                     hex(code, 2);
  if (const char* name = nvmeStatusName(type, code)) text += std::string(": ") + name;
  return {EIO, text + ")"};
}

// The SCSI outcome of an ATA PASS-THROUGH command, with the ATA status and
// error registers when the sense data carries them (the ATA Status Return
// descriptor, code 09h, of descriptor-format sense).
DeviceResult scsiResult(const SCSIOutcome& outcome) {
  if (outcome.error != 0) return outcome.error;
  constexpr std::uint16_t kDriverSense = 0x08;
  if (outcome.hostStatus != 0) return {EIO, "SCSI host status " + hex(outcome.hostStatus, 2)};
  if ((outcome.driverStatus & ~kDriverSense) != 0) return {EIO, "SCSI driver status " + hex(outcome.driverStatus, 2)};
  if (outcome.status == 0) return kKernSuccess;
  constexpr std::uint8_t kCheckCondition = 0x02;
  const std::vector<std::uint8_t>& sense = outcome.sense;
  if (outcome.status != kCheckCondition || sense.size() < 8) return {EIO, "SCSI status " + hex(outcome.status, 2)};

  const std::uint8_t format = sense[0] & 0x7F;
  unsigned key = 0, asc = 0, ascq = 0;
  std::optional<std::pair<unsigned, unsigned>> ata;  // status, error
  if (format == 0x72 || format == 0x73) {
    key = sense[1] & 0x0F;
    asc = sense[2];
    ascq = sense[3];
    const std::size_t end = std::min<std::size_t>(sense.size(), 8u + sense[7]);
    for (std::size_t at = 8; at + 2 <= end; at += 2u + sense[at + 1]) {
      if (sense[at] == 0x09 && sense[at + 1] >= 12 && at + 14 <= end) ata = {{sense[at + 13], sense[at + 3]}};
    }
  } else if ((format == 0x70 || format == 0x71) && sense.size() >= 14) {
    key = sense[2] & 0x0F;
    asc = sense[12];
    ascq = sense[13];
  } else {
    return {EIO, "SCSI status " + hex(outcome.status, 2) + " with unreadable sense data"};
  }
  // RECOVERED ERROR, "ATA pass-through information available": the command
  // went through; only the ATA status's ERR bit would make it a failure.
  constexpr unsigned kRecovered = 0x01, kATAErr = 0x01;
  if (key == kRecovered && asc == 0x00 && ascq == 0x1D && (!ata || (ata->first & kATAErr) == 0)) return kKernSuccess;

  std::string text = "SCSI sense key " + hex(key, 1) + ", ASC " + hex(asc, 2) + ", ASCQ " + hex(ascq, 2);
  if (ata) {
    text += "; ATA status " + hex(ata->first, 2) + ", error " + hex(ata->second, 2);
    constexpr unsigned kAbort = 0x04;
    if ((ata->first & kATAErr) != 0 && (ata->second & kAbort) != 0) text += " (command aborted)";
  }
  return {EIO, text};
}

// ATA PASS-THROUGH (16) of a 28-bit command.
enum class Protocol : std::uint8_t { nonData = 3, pioDataIn = 4 };

DeviceResult ataCommand(Passthrough& device, std::uint8_t command, std::uint8_t features, std::uint8_t count,
                        std::uint8_t lbaLow, std::uint8_t lbaMid, std::uint8_t lbaHigh, std::span<std::uint8_t> data) {
  const Protocol protocol = data.empty() ? Protocol::nonData : Protocol::pioDataIn;
  std::array<std::uint8_t, 16> cdb{};
  cdb[0] = 0x85;  // ATA PASS-THROUGH (16)
  cdb[1] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(protocol) << 1);
  // From the device, length in 512-byte blocks, given in the count field.
  cdb[2] = data.empty() ? 0x00 : 0x0E;
  cdb[4] = features;
  cdb[6] = count;
  cdb[8] = lbaLow;
  cdb[10] = lbaMid;
  cdb[12] = lbaHigh;
  cdb[14] = command;
  return scsiResult(device.scsi({cdb, data}));
}

constexpr std::uint8_t kATASMART = 0xB0, kSMARTLbaMid = 0x4F, kSMARTLbaHigh = 0xC2;
constexpr std::uint8_t kReadData = 0xD0, kReadLog = 0xD5, kEnable = 0xD8, kDisable = 0xD9;

}  // namespace

DeviceResult nvmeReadSMARTLog(Passthrough& device, std::span<std::uint8_t, 512> page) {
  NVMeAdminCommand command;
  command.opcode = 0x02;       // Get Log Page
  command.nsid = 0xFFFFFFFF;   // the controller as a whole
  constexpr std::uint32_t kSMARTHealthLog = 0x02;
  command.cdw[0] = ((page.size() / 4 - 1) << 16) | kSMARTHealthLog;  // dwords - 1, log identifier
  command.data = page;
  return nvmeResult(device.nvmeAdmin(command));
}

DeviceResult ataIdentifyDevice(Passthrough& device, std::span<std::uint8_t, 512> page) {
  return ataCommand(device, 0xEC, 0, 1, 0, 0, 0, page);
}

DeviceResult ataSMARTReadData(Passthrough& device, std::span<std::uint8_t, 512> page) {
  return ataCommand(device, kATASMART, kReadData, 1, 0, kSMARTLbaMid, kSMARTLbaHigh, page);
}

DeviceResult ataSMARTEnableOperations(Passthrough& device, bool enable) {
  return ataCommand(device, kATASMART, enable ? kEnable : kDisable, 0, 0, kSMARTLbaMid, kSMARTLbaHigh, {});
}

DeviceResult ataSMARTReadLog(Passthrough& device, std::uint32_t address, std::span<std::uint8_t> buffer) {
  const std::size_t sectors = buffer.size() / 512;
  if (buffer.size() % 512 != 0 || sectors == 0 || sectors > 255 || address > 255) return EINVAL;
  return ataCommand(device, kATASMART, kReadLog, static_cast<std::uint8_t>(sectors), static_cast<std::uint8_t>(address),
                    kSMARTLbaMid, kSMARTLbaHigh, buffer);
}

std::optional<bool> smartSupported(std::span<const std::uint8_t, 512> identify) {
  auto word = [&](std::size_t index) { return identify[2 * index] | identify[2 * index + 1] << 8; };
  // Words 82 to 84 hold meaning only when word 83 reads 01b in bits 15:14.
  if ((word(83) & 0xC000) != 0x4000) return std::nullopt;
  return (word(82) & 0x0001) != 0;
}

}  // namespace velmora::platform
