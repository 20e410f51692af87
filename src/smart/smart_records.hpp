// The raw SMART records as the conversions read them: the ATA attribute
// table and the Device Statistics words, and the snapshot's date text.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace velmora {

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

// ISO 8601 in UTC, whole seconds: 2026-12-05T00:07:13Z.
std::string iso8601UTC(std::chrono::system_clock::time_point when);

}  // namespace velmora
