#include "velmora/smart/drive_health.hpp"

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "smart/smart_records.hpp"

namespace velmora {
namespace {

using Page = std::array<std::uint8_t, 512>;

void store(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// An ATA page with the given attributes (id, current, raw) in consecutive slots.
Page ataPage(std::initializer_list<std::tuple<int, int, std::uint64_t>> attributes) {
  Page page{};
  std::size_t slot = 0;
  for (const auto& [id, current, raw] : attributes) {
    const std::size_t at = 2 + 12 * slot++;
    page[at] = static_cast<std::uint8_t>(id);
    page[at + 3] = static_cast<std::uint8_t>(current);
    store(page, at + 5, raw, 6);
  }
  return page;
}

std::vector<std::uint8_t> statistics(std::initializer_list<std::tuple<int, int, std::uint64_t>> words) {
  std::vector<std::uint8_t> log(4096, 0);
  for (const auto& [page, offset, word] : words) store(log, page * 512 + offset, word, 8);
  return log;
}

constexpr std::uint64_t kValid = (std::uint64_t{1} << 63) | (std::uint64_t{1} << 62);

TEST(CriticalWarning, DescribesTheSetBitsInOrder) {
  const std::pair<std::uint32_t, const char*> rows[] = {
      {0x12, "Temperature exceeded threshold, Volatile memory backup failed"},
      {0x20, "None"},
      {0x00, "None"},
      {0x1F, "Available spare below threshold, Temperature exceeded threshold, Reliability degraded, Media in "
             "read-only mode, Volatile memory backup failed"},
      {0xFFFFFFE8, "Media in read-only mode"},
  };
  for (const auto& [bits, text] : rows) {
    cloud::NVMeCriticalWarning warning;
    warning.set_bits(bits);
    EXPECT_EQ(Cloud_NVMeCriticalWarning::description(warning), text) << bits;
  }
}

TEST(NVMeConversion, LifeAndTotalsAtTheirEdges) {
  for (const auto& [used, life] : {std::pair{150, 0}, {0, 100}, {100, 0}, {101, 0}, {255, 0}}) {
    Page page{};
    page[5] = static_cast<std::uint8_t>(used);
    EXPECT_EQ(convertNVMeSMARTData(page).life(), life) << used;
  }
  Page huge{};
  store(huge, 32, std::numeric_limits<std::uint64_t>::max() / 1000, 8);
  store(huge, 40, 0xFFFF, 8);  // the high half of a 16-byte counter is not read
  store(huge, 48, 2, 8);
  EXPECT_EQ(convertNVMeSMARTData(huge).totalread(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(convertNVMeSMARTData(huge).totalwritten(), 1024000u);
}

TEST(ATAConversion, Temperature) {
  EXPECT_EQ(convertATASMARTData(ataPage({{194, 100, 40}}), std::nullopt).temperature(), 313u);
  EXPECT_EQ(convertATASMARTData(ataPage({{194, 100, 0}, {190, 100, 35}}), std::nullopt).temperature(), 0u);
  EXPECT_EQ(convertATASMARTData(ataPage({{190, 100, 35}}), std::nullopt).temperature(), 308u);
  EXPECT_EQ(convertATASMARTData(ataPage({}), std::nullopt).temperature(), 0u);
  // Only the low raw byte is the temperature; the others hold minimum and maximum.
  EXPECT_EQ(convertATASMARTData(ataPage({{194, 100, 0x0A00140028}}), std::nullopt).temperature(), 313u);
}

TEST(ATAConversion, LifeFromAttributesAndStatistics) {
  const auto withStats = statistics({{7, 8, kValid | 5}});
  EXPECT_EQ(convertATASMARTData(ataPage({{231, 97, 0}}), std::span<const std::uint8_t>(withStats)).life(), 95);
  EXPECT_EQ(convertATASMARTData(ataPage({{231, 97, 0}}), std::nullopt).life(), 97);
  EXPECT_EQ(convertATASMARTData(ataPage({{202, 120, 0}}), std::nullopt).life(), 100);
  EXPECT_EQ(convertATASMARTData(ataPage({{233, 50, 0}, {173, 60, 0}}), std::nullopt).life(), 60);
  EXPECT_FALSE(convertATASMARTData(ataPage({{9, 100, 1}}), std::nullopt).has_life());
  const auto overUsed = statistics({{7, 8, kValid | 130}});
  EXPECT_EQ(convertATASMARTData(ataPage({}), std::span<const std::uint8_t>(overUsed)).life(), 0);
  const auto notValid = statistics({{7, 8, (std::uint64_t{1} << 63) | 5}});
  EXPECT_FALSE(convertATASMARTData(ataPage({}), std::span<const std::uint8_t>(notValid)).has_life());
}

TEST(ATAConversion, TotalsCountersAndMediaErrors) {
  const auto log = statistics({{1, 24, kValid | 1000}, {1, 40, kValid | 2000}});
  const auto data = convertATASMARTData(
      ataPage({{12, 100, 0x1'0000'0007}, {9, 100, 4321}, {174, 100, 6}, {197, 100, 3}}), std::span<const std::uint8_t>(log));
  EXPECT_EQ(data.totalwritten(), 512000u);
  EXPECT_EQ(data.totalread(), 1024000u);
  EXPECT_EQ(data.powercycles(), 7u);  // 4 raw bytes only
  EXPECT_EQ(data.poweronhours(), 4321u);
  EXPECT_EQ(data.unsafeshutdowns(), 6u);
  EXPECT_EQ(data.mediaerrors(), 3u);
  EXPECT_FALSE(data.has_hostreadcommands());
  EXPECT_FALSE(data.has_availablespare());
  EXPECT_EQ(data.criticalwarning().bits(), 0u);
  EXPECT_EQ(Cloud_NVMeCriticalWarning::description(data.criticalwarning()), "None");

  const auto none = convertATASMARTData(ataPage({{9, 100, 1}}), std::nullopt);
  EXPECT_FALSE(none.has_mediaerrors());
  EXPECT_FALSE(none.has_unsafeshutdowns());
  EXPECT_EQ(none.totalread(), 0u);
  const auto sum = convertATASMARTData(ataPage({{5, 100, 0xFFFFFFFFFFFF}, {197, 100, 1}, {198, 100, 2}}), std::nullopt);
  EXPECT_EQ(sum.mediaerrors(), 0xFFFFFFFFFFFFu + 3);
  // Empty slots are skipped, a later slot wins, the last slot (byte 350) counts.
  auto slots = ataPage({{0, 99, 5}, {9, 100, 10}, {9, 90, 20}});
  slots[350] = 12;
  store(slots, 355, 77, 6);
  const auto fromSlots = convertATASMARTData(slots, std::nullopt);
  EXPECT_EQ(fromSlots.poweronhours(), 20u);
  EXPECT_EQ(fromSlots.powercycles(), 77u);
  const auto tooLarge = statistics({{1, 24, kValid | (std::uint64_t{1} << 55)}});
  EXPECT_EQ(convertATASMARTData(ataPage({}), std::span<const std::uint8_t>(tooLarge)).totalwritten(), 0u);
}

TEST(Snapshot, DateIsIso8601InUtc) {
  EXPECT_EQ(iso8601UTC(std::chrono::system_clock::from_time_t(1764893233)), "2025-12-05T00:07:13Z");
}

// Recorded pages of real drives give the values those drives reported.
TEST(RealDrives, NVMePagesGiveThePublishedValues) {
  const std::filesystem::path folder = VELMORA_TESTS_DIR "/data/smart/nvme";
  std::ifstream table(folder / "published.tsv");
  ASSERT_TRUE(table) << "no recorded drive pages in " << folder;
  std::string line;
  std::getline(table, line);
  std::vector<std::string> columns;
  for (std::stringstream header(line); std::getline(header, line, '\t');) columns.push_back(line);
  int drives = 0;
  while (std::getline(table, line)) {
    std::map<std::string, std::string> row;
    std::stringstream cells(line);
    for (std::size_t i = 0; i < columns.size() && std::getline(cells, line, '\t'); ++i) row[columns[i]] = line;
    std::ifstream in(folder / (row["id"] + ".bin"), std::ios::binary);
    ASSERT_TRUE(in) << row["id"];
    const std::vector<std::uint8_t> page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto data = convertNVMeSMARTData(page);
    auto number = [&](const char* column) { return std::stoull(row.at(column)); };
    SCOPED_TRACE(row["id"]);
    EXPECT_EQ(data.temperature(), number("temperature_kelvin"));
    EXPECT_EQ(data.availablespare(), number("available_spare"));
    EXPECT_EQ(data.sparethreshold(), number("spare_threshold"));
    EXPECT_EQ(data.life(), static_cast<std::int64_t>(100 - std::min<std::uint64_t>(100, number("percentage_used"))));
    EXPECT_EQ(data.totalread(), number("data_units_read") * 512000);
    EXPECT_EQ(data.totalwritten(), number("data_units_written") * 512000);
    EXPECT_EQ(data.hostreadcommands(), number("host_read_commands"));
    EXPECT_EQ(data.hostwritecommands(), number("host_write_commands"));
    EXPECT_EQ(data.controllerbusytime(), number("controller_busy_time"));
    EXPECT_EQ(data.powercycles(), number("power_cycles"));
    EXPECT_EQ(data.poweronhours(), number("power_on_hours"));
    EXPECT_EQ(data.unsafeshutdowns(), number("unsafe_shutdowns"));
    EXPECT_EQ(data.mediaerrors(), number("media_errors"));
    EXPECT_EQ(data.criticalwarning().bits(), number("critical_warning"));
    ++drives;
  }
  EXPECT_GE(drives, 9);
}

TEST(RealDrives, ATAPagesDecode) {
  const std::filesystem::path folder = VELMORA_TESTS_DIR "/data/smart/ata";
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << "no recorded drive pages in " << folder;
  int drives = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto data = convertATASMARTData(page, std::nullopt);
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_GT(data.poweronhours(), 0u);
    EXPECT_GT(data.powercycles(), 0u);
    if (data.temperature() != 0) {
      EXPECT_GE(data.temperature(), 273u + 10);
      EXPECT_LE(data.temperature(), 273u + 80);
    }
    EXPECT_EQ(data.totalread(), 0u);  // no statistics log recorded
    ++drives;
  }
  EXPECT_EQ(drives, 10);
}

}  // namespace
}  // namespace velmora
