// The drive commands of the Linux backend, written above the pass-through
// seam: the NVMe SMART / Health log through Get Log Page, and the ATA
// commands (IDENTIFY DEVICE and the SMART feature set) through SCSI ATA
// PASS-THROUGH (16). Each returns success, the ioctl's errno, or EIO with
// the device's own status in words.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/linux/passthrough.hpp"
#include "platform/smart_device.hpp"

namespace velmora::platform {

DeviceResult nvmeReadSMARTLog(Passthrough& device, std::span<std::uint8_t, 512> page);

DeviceResult ataIdentifyDevice(Passthrough& device, std::span<std::uint8_t, 512> page);
DeviceResult ataSMARTReadData(Passthrough& device, std::span<std::uint8_t, 512> page);
DeviceResult ataSMARTEnableOperations(Passthrough& device, bool enable);
// SMART READ LOG of whole 512-byte sectors (1 to 255 of them); EINVAL,
// without sending anything, for another size or an address beyond 255.
DeviceResult ataSMARTReadLog(Passthrough& device, std::uint32_t address, std::span<std::uint8_t> buffer);

// Whether an IDENTIFY DEVICE page says the SMART feature set is supported
// (word 82 bit 0); nothing when words 82 and 83 are not marked valid.
std::optional<bool> smartSupported(std::span<const std::uint8_t, 512> identify);

}  // namespace velmora::platform
