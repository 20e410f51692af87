// Any bytes go through the SMART conversions without undefined behaviour:
// input shorter than its record is refused with std::invalid_argument, and
// every value stays within what the conversions can give. The first byte
// picks the page: NVMe, ATA alone, or ATA with the statistics log that
// follows its 512 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <stdexcept>

#include "velmora/smart/drive_health.hpp"

namespace {

void checkLife(const cloud::SMARTData& data) {
  if (data.has_life() && (data.life() < 0 || data.life() > 100)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  const bool longEnough = input.size() >= velmora::kSMARTPageSize;
  try {
    if (data[0] % 3 == 0) {
      const auto health = velmora::convertNVMeSMARTData(input);
      checkLife(health);
      if (!health.has_life() || health.temperature() > 0xFFFF || health.availablespare() > 0xFF) std::abort();
      if (health.totalread() % 512000 != 0 && health.totalread() != UINT64_MAX) std::abort();
      (void)velmora::Cloud_NVMeCriticalWarning::description(health.criticalwarning());
    } else {
      std::optional<std::span<const std::uint8_t>> statistics;
      if (data[0] % 3 == 2 && longEnough) statistics = input.subspan(velmora::kSMARTPageSize);
      const auto health = velmora::convertATASMARTData(input, statistics);
      checkLife(health);
      if (health.temperature() != 0 && (health.temperature() < 274 || health.temperature() > 273 + 255)) std::abort();
      // Sector counts below 2^55, in bytes: whole sectors.
      if (health.totalread() % 512 != 0 || health.totalwritten() % 512 != 0) std::abort();
      if (health.powercycles() > UINT32_MAX || health.poweronhours() > UINT32_MAX) std::abort();
      if (health.has_mediaerrors() && health.mediaerrors() > 3 * ((std::uint64_t{1} << 48) - 1)) std::abort();
      if (health.criticalwarning().bits() != 0 || health.has_availablespare()) std::abort();
    }
  } catch (const std::invalid_argument&) {
    // Only a short page or a short statistics log is refused.
    if (longEnough && data[0] % 3 != 2) std::abort();
    if (longEnough && input.size() >= velmora::kSMARTPageSize + velmora::kDeviceStatisticsLogSize) std::abort();
  }
  return 0;
}
