#include "velmora/lucidlink/lucid_perf.hpp"

#include <clocale>
#include <cmath>
#include <limits>
#include <set>

#include <gtest/gtest.h>

namespace velmora {
namespace {

using M = LucidPerfMetric;
using L = LucidDataLayer;
using Unit = LucidPerfUnit;
using Words = std::vector<std::string>;

struct QueryCase {
  const char* name;
  std::map<L, std::vector<M>> layers;
  Words expected;
};

TEST(LucidPerfQuery, BuildsTheToolsWords) {
  const QueryCase cases[] = {
      {"empty", {}, {"perf"}},
      {"all with other layers", {{L::fileSystem, {M::readBytes}}, {L::all, {}}}, {"perf"}},
      {"fs with a cache-only metric", {{L::fileSystem, {M::cacheHits}}}, {"perf", "--fs"}},
      {"duplicates kept", {{L::objectStore, {M::getBytes, M::getBytes}}}, {"perf", "--objectstore", "getBytes,getBytes"}},
      {"cache drops what it cannot report", {{L::cache, {M::cacheUtilization, M::pendingOps, M::dirtyBytes}}},
       {"perf", "--cache", "%,dirtyBytes"}},
      {"cache example", {{L::cache, {M::cacheHits, M::readBytes, M::getBytes}}}, {"perf", "--cache", "%hits,readBytes"}},
      {"never requested", {{L::fileSystem, {M::currentDateAndTimeUTC, M::unrecognized, M::pendingOps}}},
       {"perf", "--fs", "pendOps"}},
      {"fixed layer order", {{L::objectStore, {M::puts}}, {L::cache, {M::reads}}, {L::fileSystem, {M::writes}}},
       {"perf", "--fs", "writes", "--cache", "reads", "--objectstore", "puts"}},
  };
  for (const auto& c : cases) EXPECT_EQ(LucidPerfQuery(c.layers).arguments(), c.expected) << c.name;
}

struct ValueCase {
  const char* text;
  std::string raw;
  std::optional<std::int64_t> integer;
  std::optional<double> floating;
  std::optional<Unit> unit;
};

TEST(LucidPerfMetricValue, ReadsNumbersAndUnits) {
  const ValueCase cases[] = {
      {"  42  ", "42", 42, 42.0, std::nullopt},
      {"12.5MiB/s", "12.5MiB/s", std::nullopt, 12.5, Unit::mebibytesPerSecond},
      {"3ms", "3ms", 3, 3.0, Unit::milliseconds},
      {"5B/s", "5B/s", 5, 5.0, Unit::bytesPerSecond},
      {"2KiB/s", "2KiB/s", 2, 2.0, Unit::kibibytesPerSecond},
      {"1.5GiB/s", "1.5GiB/s", std::nullopt, 1.5, Unit::gibibytesPerSecond},
      {"12.5 MiB/s", "12.5 MiB/s", std::nullopt, std::nullopt, std::nullopt},
      {"n/a", "n/a", std::nullopt, std::nullopt, Unit::notAvailable},
      {" n/a\t", "n/a", std::nullopt, std::nullopt, Unit::notAvailable},
      {"99999999999999999999", "99999999999999999999", std::nullopt, 1e20, std::nullopt},
      {"1e400GiB/s", "1e400GiB/s", std::nullopt, HUGE_VAL, Unit::gibibytesPerSecond},
      {"-9223372036854775808", "-9223372036854775808", std::numeric_limits<std::int64_t>::min(), -9223372036854775808.0, std::nullopt},
      {"-3%", "-3%", -3, -3.0, Unit::percent},
      {"+7", "+7", 7, 7.0, std::nullopt},
      {"%", "%", std::nullopt, std::nullopt, std::nullopt},
      {"", "", std::nullopt, std::nullopt, std::nullopt},
      {"abc", "abc", std::nullopt, std::nullopt, std::nullopt},
      {"1e3s", "1e3s", std::nullopt, 1000.0, Unit::seconds},
      {"0x10", "0x10", std::nullopt, 16.0, std::nullopt},
      {"1,5MiB/s", "1,5MiB/s", std::nullopt, std::nullopt, std::nullopt},
      {"12\n", "12\n", std::nullopt, std::nullopt, std::nullopt},
      {"\xC2\xA0" "8%", "8%", 8, 8.0, Unit::percent},
  };
  for (const auto& c : cases) {
    const auto value = LucidPerfMetricValue::parseMetricValue(c.text);
    EXPECT_EQ(value.raw(), c.raw) << c.text;
    EXPECT_EQ(value.intValue(), c.integer) << c.text;
    EXPECT_EQ(value.doubleValue(), c.floating) << c.text;
    EXPECT_EQ(value.unit(), c.unit) << c.text;
  }
}

// A host that switched its numeric locale to one with a decimal comma must
// still read the tool's numbers, which always use a point.
TEST(LucidPerfMetricValue, ReadsNumbersWhateverTheHostLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8 locale here";
  const auto value = LucidPerfMetricValue::parseMetricValue("12.5MiB/s");
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(value.doubleValue(), 12.5);
  EXPECT_EQ(value.unit(), Unit::mebibytesPerSecond);
}

TEST(LucidPerfMetricValue, ConvertsByteRatesWithBinaryPrefixes) {
  EXPECT_EQ(LucidPerfMetricValue::convertToBytes(12.5, Unit::mebibytesPerSecond), 13107200.0);
  EXPECT_EQ(LucidPerfMetricValue::convertToBytes(2, Unit::kibibytesPerSecond), 2048.0);
  EXPECT_EQ(LucidPerfMetricValue::convertToBytes(1, Unit::gibibytesPerSecond), 1073741824.0);
  EXPECT_EQ(LucidPerfMetricValue::convertToBytes(1e308, Unit::gibibytesPerSecond), HUGE_VAL);  // defined, not UB
  for (const auto unit : {Unit::percent, Unit::seconds, Unit::milliseconds, Unit::microseconds, Unit::notAvailable}) {
    EXPECT_EQ(LucidPerfMetricValue::convertToBytes(1, unit), std::nullopt);
  }
}

// Exactly five metrics are byte rates: dirtyBytes is not one, whatever its name says.
TEST(LucidPerfMetric, ExactlyFiveAreByteRates) {
  const std::set<M> bytes = {M::readBytes, M::writeBytes, M::bckWriteBytes, M::getBytes, M::putBytes};
  for (const auto m : allPerfMetrics()) EXPECT_EQ(isBytesMetric(m), bytes.count(m) == 1) << rawValue(m);
}

}  // namespace
}  // namespace velmora
