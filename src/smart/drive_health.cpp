#include "velmora/smart/drive_health.hpp"

#include <algorithm>
#include <ctime>
#include <limits>
#include <stdexcept>

#include "smart/smart_records.hpp"

namespace velmora {

namespace {

std::uint64_t loadLE(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{bytes[offset + i]} << (8 * i);
  return value;
}

void requireSize(std::span<const std::uint8_t> bytes, std::size_t size, const char* what) {
  if (bytes.size() < size) {
    throw std::invalid_argument(std::string(what) + " needs " + std::to_string(size) + " bytes, got " +
                                std::to_string(bytes.size()));
  }
}

std::uint64_t saturatingProduct(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return std::numeric_limits<std::uint64_t>::max();
  return a * b;
}

// NVMe SMART / Health Information log page (log identifier 02h).
namespace nvme {
constexpr std::size_t kCriticalWarning = 0, kTemperature = 1, kAvailableSpare = 3, kSpareThreshold = 4,
                      kPercentageUsed = 5, kDataUnitsRead = 32, kDataUnitsWritten = 48, kHostReadCommands = 64,
                      kHostWriteCommands = 80, kControllerBusyTime = 96, kPowerCycles = 112, kPowerOnHours = 128,
                      kUnsafeShutdowns = 144, kMediaErrors = 160;
static_assert(kMediaErrors + 16 <= kSMARTPageSize);
constexpr std::uint64_t kDataUnitBytes = 512000;  // thousands of 512-byte units
}  // namespace nvme

// ATA SMART data page: a 2-byte revision, then 30 slots of 12 bytes.
namespace ata {
constexpr std::size_t kFirstSlot = 2, kSlotSize = 12, kSlots = 30;
static_assert(kFirstSlot + kSlots * kSlotSize == 362);
constexpr std::uint64_t kStatisticLimit = std::uint64_t{1} << 55;
}  // namespace ata

}  // namespace

namespace Cloud_SMARTData {

cloud::SMARTData from(std::uint64_t temperature, std::optional<std::int64_t> life, std::uint64_t totalRead,
                      std::optional<std::uint64_t> hostReadCommands, std::uint64_t totalWritten,
                      std::optional<std::uint64_t> hostWriteCommands, std::optional<std::uint64_t> controllerBusyTime,
                      std::uint64_t powerCycles, std::uint64_t powerOnHours,
                      std::optional<cloud::NVMeCriticalWarning> criticalWarning,
                      std::optional<std::uint64_t> availableSpare, std::optional<std::uint64_t> spareThreshold,
                      std::optional<std::uint64_t> unsafeShutdowns, std::optional<std::uint64_t> mediaErrors) {
  cloud::SMARTData data;
  data.set_temperature(temperature);
  data.set_totalread(totalRead);
  data.set_totalwritten(totalWritten);
  data.set_powercycles(powerCycles);
  data.set_poweronhours(powerOnHours);
  if (life) data.set_life(*life);
  if (hostReadCommands) data.set_hostreadcommands(*hostReadCommands);
  if (hostWriteCommands) data.set_hostwritecommands(*hostWriteCommands);
  if (controllerBusyTime) data.set_controllerbusytime(*controllerBusyTime);
  if (availableSpare) data.set_availablespare(*availableSpare);
  if (spareThreshold) data.set_sparethreshold(*spareThreshold);
  if (unsafeShutdowns) data.set_unsafeshutdowns(*unsafeShutdowns);
  if (mediaErrors) data.set_mediaerrors(*mediaErrors);
  *data.mutable_criticalwarning() = criticalWarning.value_or(cloud::NVMeCriticalWarning());
  return data;
}

}  // namespace Cloud_SMARTData

namespace Cloud_NVMeCriticalWarning {

std::string description(const cloud::NVMeCriticalWarning& warning) {
  static const char* const kTexts[] = {"Available spare below threshold", "Temperature exceeded threshold",
                                       "Reliability degraded", "Media in read-only mode",
                                       "Volatile memory backup failed"};
  std::string text;
  for (unsigned bit = 0; bit < 5; ++bit) {
    if ((warning.bits() & (1u << bit)) == 0) continue;
    if (!text.empty()) text += ", ";
    text += kTexts[bit];
  }
  return text.empty() ? "None" : text;
}

}  // namespace Cloud_NVMeCriticalWarning

ATAAttributeTable parseATAAttributes(std::span<const std::uint8_t> page) {
  requireSize(page, kSMARTPageSize, "An ATA SMART data page");
  ATAAttributeTable table;
  for (std::size_t slot = 0; slot < ata::kSlots; ++slot) {
    const std::size_t at = ata::kFirstSlot + slot * ata::kSlotSize;
    const int id = page[at];
    if (id == 0) continue;
    ATAAttributeEntry entry;
    entry.current = page[at + 3];
    for (std::size_t i = 0; i < 6; ++i) entry.raw[i] = page[at + 5 + i];
    table[id] = entry;
  }
  return table;
}

std::optional<std::uint64_t> attributeRawValue(const ATAAttributeTable& table, ATAAttribute attribute, int byteCount) {
  const auto found = table.find(static_cast<int>(attribute));
  if (found == table.end()) return std::nullopt;
  std::uint64_t value = 0;
  for (int i = 0; i < std::min(byteCount, 6); ++i) value |= std::uint64_t{found->second.raw[i]} << (8 * i);
  return value;
}

std::optional<std::uint64_t> deviceStatistic(std::span<const std::uint8_t> log, int page, int offset) {
  const std::size_t at = static_cast<std::size_t>(page) * 512 + static_cast<std::size_t>(offset);
  if (page < 0 || offset < 0 || log.size() < at + 8) return std::nullopt;
  const std::uint64_t word = loadLE(log, at, 8);
  constexpr std::uint64_t kSupportedAndValid = (std::uint64_t{1} << 63) | (std::uint64_t{1} << 62);
  if ((word & kSupportedAndValid) != kSupportedAndValid) return std::nullopt;
  return word & ((std::uint64_t{1} << 56) - 1);
}

cloud::SMARTData convertNVMeSMARTData(std::span<const std::uint8_t> page) {
  requireSize(page, kSMARTPageSize, "An NVMe SMART / Health log page");
  using namespace nvme;
  const std::uint64_t percentageUsed = page[kPercentageUsed];
  cloud::NVMeCriticalWarning warning;
  warning.set_bits(page[kCriticalWarning]);
  return Cloud_SMARTData::from(
      loadLE(page, kTemperature, 2), static_cast<std::int64_t>(percentageUsed <= 100 ? 100 - percentageUsed : 0),
      saturatingProduct(loadLE(page, kDataUnitsRead, 8), kDataUnitBytes), loadLE(page, kHostReadCommands, 8),
      saturatingProduct(loadLE(page, kDataUnitsWritten, 8), kDataUnitBytes), loadLE(page, kHostWriteCommands, 8),
      loadLE(page, kControllerBusyTime, 8), loadLE(page, kPowerCycles, 8), loadLE(page, kPowerOnHours, 8), warning,
      page[kAvailableSpare], page[kSpareThreshold], loadLE(page, kUnsafeShutdowns, 8), loadLE(page, kMediaErrors, 8));
}

cloud::SMARTData convertATASMARTData(std::span<const std::uint8_t> page,
                                     std::optional<std::span<const std::uint8_t>> deviceStatistics) {
  const ATAAttributeTable table = parseATAAttributes(page);
  if (deviceStatistics) requireSize(*deviceStatistics, kDeviceStatisticsLogSize, "An ATA Device Statistics log");

  // 194 wins over 190 whenever it is present, even at 0.
  std::uint64_t celsius = attributeRawValue(table, ATAAttribute::temperature, 1)
                              .value_or(attributeRawValue(table, ATAAttribute::airflowTemperature, 1).value_or(0));
  const std::uint64_t temperature = celsius == 0 ? 0 : celsius + 273;

  std::optional<std::int64_t> life;
  for (const auto attribute : {ATAAttribute::ssdLifeLeft, ATAAttribute::percentLifetimeRemaining,
                               ATAAttribute::wearRangeDelta, ATAAttribute::wearLevelingCount,
                               ATAAttribute::mediaWearoutIndicator}) {
    const auto found = table.find(static_cast<int>(attribute));
    if (found == table.end()) continue;
    life = std::min<std::int64_t>(found->second.current, 100);
    break;
  }

  std::uint64_t totalRead = 0;
  std::uint64_t totalWritten = 0;
  if (deviceStatistics) {
    auto sectors = [&](int page, int offset) -> std::uint64_t {
      const auto value = deviceStatistic(*deviceStatistics, page, offset);
      return value && *value < ata::kStatisticLimit ? *value * 512 : 0;
    };
    totalWritten = sectors(1, 24);
    totalRead = sectors(1, 40);
    if (const auto used = deviceStatistic(*deviceStatistics, 7, 8)) {
      const std::int64_t percent = static_cast<std::int64_t>(*used & 0xFF);
      life = percent <= 100 ? 100 - percent : 0;
    }
  }

  std::optional<std::uint64_t> mediaErrors;
  for (const auto attribute : {ATAAttribute::reallocatedSectors, ATAAttribute::pendingSectors,
                               ATAAttribute::offlineUncorrectable}) {
    if (const auto raw = attributeRawValue(table, attribute, 6)) mediaErrors = mediaErrors.value_or(0) + *raw;
  }

  return Cloud_SMARTData::from(temperature, life, totalRead, std::nullopt, totalWritten, std::nullopt, std::nullopt,
                               attributeRawValue(table, ATAAttribute::powerCycles, 4).value_or(0),
                               attributeRawValue(table, ATAAttribute::powerOnHours, 4).value_or(0), std::nullopt,
                               std::nullopt, std::nullopt,
                               attributeRawValue(table, ATAAttribute::unexpectedPowerLoss, 4), mediaErrors);
}

std::string iso8601UTC(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace velmora
