// Drive-health messages from raw SMART data: the NVMe SMART / Health
// Information log page, and the ATA SMART data page with, when it could be
// read, the ATA Device Statistics log.
//
// Choices made here:
//   - NVMe byte totals whose product passes 64 bits saturate at the largest
//     64-bit value.
//   - A raw page shorter than its record is an error (std::invalid_argument),
//     never a read past the buffer.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "vlmproto.pb.h"

namespace velmora {

constexpr std::size_t kSMARTPageSize = 512;
constexpr std::size_t kDeviceStatisticsLogSize = 4096;

namespace Cloud_SMARTData {

// A message holding exactly these values; the optional ones are present
// when given, and the critical warning is always set (bits 0 when not given).
cloud::SMARTData from(std::uint64_t temperature, std::optional<std::int64_t> life, std::uint64_t totalRead,
                      std::optional<std::uint64_t> hostReadCommands, std::uint64_t totalWritten,
                      std::optional<std::uint64_t> hostWriteCommands, std::optional<std::uint64_t> controllerBusyTime,
                      std::uint64_t powerCycles, std::uint64_t powerOnHours,
                      std::optional<cloud::NVMeCriticalWarning> criticalWarning,
                      std::optional<std::uint64_t> availableSpare, std::optional<std::uint64_t> spareThreshold,
                      std::optional<std::uint64_t> unsafeShutdowns, std::optional<std::uint64_t> mediaErrors);

}  // namespace Cloud_SMARTData

namespace Cloud_NVMeCriticalWarning {

// The set bits' texts joined with ", " (bit 0 first), or "None".
std::string description(const cloud::NVMeCriticalWarning& warning);

}  // namespace Cloud_NVMeCriticalWarning

// The attribute ids the reader knows.
enum class ATAAttribute : std::uint8_t {
  readErrorRate = 0x01,
  reallocatedSectors = 0x05,
  powerOnHours = 0x09,
  spinRetryCount = 0x0A,
  powerCycles = 0x0C,
  wearLevelingCount = 0xAD,
  unexpectedPowerLoss = 0xAE,
  wearRangeDelta = 0xB1,
  endToEndError = 0xB8,
  reportedUncorrectable = 0xBB,
  commandTimeout = 0xBC,
  airflowTemperature = 0xBE,
  temperature = 0xC2,
  reallocationEvents = 0xC4,
  pendingSectors = 0xC5,
  offlineUncorrectable = 0xC6,
  softReadErrorRate = 0xC9,
  percentLifetimeRemaining = 0xCA,
  ssdLifeLeft = 0xE7,
  mediaWearoutIndicator = 0xE9,
};

struct ATAAttributeEntry {
  std::uint8_t current = 0;          // normalized value
  std::array<std::uint8_t, 6> raw{};  // stored order, least significant first
};
using ATAAttributeTable = std::map<int, ATAAttributeEntry>;

// The 30 attribute slots of an ATA SMART data page (id 0 skipped, a later
// slot with the same id wins). Throws std::invalid_argument for a short page.
ATAAttributeTable parseATAAttributes(std::span<const std::uint8_t> page);

// The first min(byteCount, 6) raw bytes as a little-endian number; nothing
// when the attribute is absent.
std::optional<std::uint64_t> attributeRawValue(const ATAAttributeTable& table, ATAAttribute attribute, int byteCount);

// The Device Statistics word at page*512+offset: its low 56 bits when it is
// there and both supported and valid (bits 63 and 62), else nothing.
std::optional<std::uint64_t> deviceStatistic(std::span<const std::uint8_t> log, int page, int offset);

// The conversions. Throw std::invalid_argument for a page shorter than 512
// bytes (or a statistics log given but shorter than 4096).
cloud::SMARTData convertNVMeSMARTData(std::span<const std::uint8_t> page);
cloud::SMARTData convertATASMARTData(std::span<const std::uint8_t> page,
                                     std::optional<std::span<const std::uint8_t>> deviceStatistics);

// ISO 8601 in UTC, whole seconds: 2026-12-05T00:07:13Z.
std::string iso8601UTC(std::chrono::system_clock::time_point when);

}  // namespace velmora
