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

// The conversion of an ATA page with these attributes, and with the
// statistics log of these words when given.
cloud::SMARTData ata(std::initializer_list<std::tuple<int, int, std::uint64_t>> attributes,
                     std::optional<std::vector<std::uint8_t>> log = std::nullopt) {
  if (!log) return convertATASMARTData(ataPage(attributes), std::nullopt);
  return convertATASMARTData(ataPage(attributes), std::span<const std::uint8_t>(*log));
}

constexpr std::uint64_t kValid = (std::uint64_t{1} << 63) | (std::uint64_t{1} << 62);

TEST(CriticalWarning, DescribesTheSetBitsInOrder) {
  const std::pair<std::uint32_t, const char*> rows[] = {
      {0x12, "Temperature exceeded threshold, Volatile memory backup failed"},
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

TEST(ATAConversion, TemperatureAndLifeFromAttributesAndStatistics) {
  EXPECT_EQ(ata({{194, 100, 40}}).temperature(), 313u);
  EXPECT_EQ(ata({{194, 100, 0}, {190, 100, 35}}).temperature(), 0u);
  EXPECT_EQ(ata({{190, 100, 35}}).temperature(), 308u);
  EXPECT_EQ(ata({}).temperature(), 0u);
  // Only the low raw byte is the temperature; the others hold minimum and maximum.
  EXPECT_EQ(ata({{194, 100, 0x0A00140028}}).temperature(), 313u);

  EXPECT_EQ(ata({{231, 97, 0}}, statistics({{7, 8, kValid | 5}})).life(), 95);
  EXPECT_EQ(ata({{231, 97, 0}}).life(), 97);
  EXPECT_EQ(ata({{202, 120, 0}}).life(), 100);
  EXPECT_EQ(ata({{233, 50, 0}, {173, 60, 0}}).life(), 60);
  EXPECT_FALSE(ata({{9, 100, 1}}).has_life());
  EXPECT_EQ(ata({}, statistics({{7, 8, kValid | 130}})).life(), 0);
  EXPECT_FALSE(ata({}, statistics({{7, 8, (std::uint64_t{1} << 63) | 5}})).has_life());  // supported, not valid
}

TEST(ATAConversion, TotalsCountersAndMediaErrors) {
  const auto data = ata({{12, 100, 0x1'0000'0007}, {9, 100, 4321}, {174, 100, 6}, {197, 100, 3}},
                        statistics({{1, 24, kValid | 1000}, {1, 40, kValid | 2000}}));
  EXPECT_EQ(data.totalwritten(), 512000u);
  EXPECT_EQ(data.totalread(), 1024000u);
  EXPECT_EQ(data.powercycles(), 7u);  // 4 raw bytes only
  EXPECT_EQ(data.poweronhours(), 4321u);
  EXPECT_EQ(data.unsafeshutdowns(), 6u);
  EXPECT_EQ(data.mediaerrors(), 3u);
  EXPECT_FALSE(data.has_hostreadcommands());
  EXPECT_FALSE(data.has_availablespare());
  EXPECT_EQ(data.criticalwarning().bits(), 0u);
  const auto none = ata({{9, 100, 1}});
  EXPECT_FALSE(none.has_mediaerrors());
  EXPECT_FALSE(none.has_unsafeshutdowns());
  EXPECT_EQ(none.totalread(), 0u);
  const auto sum = ata({{5, 100, 0xFFFFFFFFFFFF}, {197, 100, 1}, {198, 100, 2}});
  EXPECT_EQ(sum.mediaerrors(), 0xFFFFFFFFFFFFu + 3);
  // Empty slots are skipped, a later slot wins, the last slot (byte 350) counts.
  auto slots = ataPage({{0, 99, 5}, {9, 100, 10}, {9, 90, 20}});
  slots[350] = 12;
  store(slots, 355, 77, 6);
  const auto fromSlots = convertATASMARTData(slots, std::nullopt);
  EXPECT_EQ(fromSlots.poweronhours(), 20u);
  EXPECT_EQ(fromSlots.powercycles(), 77u);
  EXPECT_EQ(ata({}, statistics({{1, 24, kValid | (std::uint64_t{1} << 55)}})).totalwritten(), 0u);
}

TEST(Snapshot, DateIsIso8601InUtc) {
  EXPECT_EQ(iso8601UTC(std::chrono::system_clock::from_time_t(1764893233)), "2025-12-05T00:07:13Z");
}

std::vector<std::uint8_t> contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  EXPECT_TRUE(in) << file;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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
  for (; std::getline(table, line); ++drives) {
    std::map<std::string, std::string> row;
    std::stringstream cells(line);
    for (std::size_t i = 0; i < columns.size() && std::getline(cells, line, '\t'); ++i) row[columns[i]] = line;
    SCOPED_TRACE(row["id"]);
    const auto data = convertNVMeSMARTData(contents(folder / (row["id"] + ".bin")));
    auto number = [&](const char* column) { return std::stoull(row.at(column)); };
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
  }
  EXPECT_GE(drives, 9);
}

TEST(RealDrives, ATAPagesDecode) {
  const std::filesystem::path folder = VELMORA_TESTS_DIR "/data/smart/ata";
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << "no recorded drive pages in " << folder;
  int drives = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    SCOPED_TRACE(entry.path().filename().string());
    const auto data = convertATASMARTData(contents(entry.path()), std::nullopt);
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
