#include "serve/filespace_values.hpp"

#include <cmath>
#include <limits>

namespace velmora::cli::serve {

namespace {

using M = LucidPerfMetric;
using K = PerfKind;

constexpr PerfSeries kPerfSeries[] = {
    {M::readBytes, "velmora_filespace_read_bytes_per_second", K::bytesPerSecond, "Bytes read per second"},
    {M::writeBytes, "velmora_filespace_written_bytes_per_second", K::bytesPerSecond, "Bytes written per second"},
    {M::reads, "velmora_filespace_reads", K::count, "Reads in the last sample"},
    {M::writes, "velmora_filespace_writes", K::count, "Writes in the last sample"},
    {M::readTime, "velmora_filespace_read_time_seconds", K::seconds, "Time a read took in the last sample"},
    {M::writeTime, "velmora_filespace_write_time_seconds", K::seconds, "Time a write took in the last sample"},
    {M::pendingOps, "velmora_filespace_pending_operations", K::count, "Operations waiting"},
    {M::cacheHits, "velmora_filespace_cache_hit_ratio", K::ratio, "Share of reads the cache served"},
    {M::bckWriteBytes, "velmora_filespace_background_written_bytes_per_second", K::bytesPerSecond,
     "Bytes written in the background per second"},
    {M::dirtyBytes, "velmora_filespace_dirty_bytes", K::bytes, "Bytes in the cache not yet uploaded"},
    {M::cacheUtilization, "velmora_filespace_cache_utilization_ratio", K::ratio, "Share of the cache in use"},
    {M::getBytes, "velmora_filespace_get_bytes_per_second", K::bytesPerSecond, "Bytes fetched from the object store per second"},
    {M::putBytes, "velmora_filespace_put_bytes_per_second", K::bytesPerSecond, "Bytes stored in the object store per second"},
    {M::schedGets, "velmora_filespace_scheduled_gets", K::count, "Object store gets scheduled"},
    {M::schedPuts, "velmora_filespace_scheduled_puts", K::count, "Object store puts scheduled"},
    {M::activeGets, "velmora_filespace_active_gets", K::count, "Object store gets in progress"},
    {M::activePuts, "velmora_filespace_active_puts", K::count, "Object store puts in progress"},
    {M::gets, "velmora_filespace_gets", K::count, "Object store gets in the last sample"},
    {M::puts, "velmora_filespace_puts", K::count, "Object store puts in the last sample"},
    {M::getFails, "velmora_filespace_failed_gets", K::count, "Object store gets that failed in the last sample"},
    {M::putFails, "velmora_filespace_failed_puts", K::count, "Object store puts that failed in the last sample"},
    {M::getCanceled, "velmora_filespace_canceled_gets", K::count, "Object store gets canceled in the last sample"},
    {M::putCanceled, "velmora_filespace_canceled_puts", K::count, "Object store puts canceled in the last sample"},
    {M::getTime, "velmora_filespace_get_time_seconds", K::seconds, "Time an object store get took in the last sample"},
    {M::putTime, "velmora_filespace_put_time_seconds", K::seconds, "Time an object store put took in the last sample"},
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Not negative, and finite unless written as digits too many for a double
// (served as +Inf then: "inf" itself is no reading).
bool usable(std::optional<double> number, std::string_view text) {
  if (!number || std::isnan(*number) || *number < 0) return false;
  text = trimmed(text);
  return std::isfinite(*number) || (!text.empty() && text.front() >= '0' && text.front() <= '9');
}

// A number without a unit.
std::optional<double> plainNumber(std::string_view text) {
  const auto value = LucidPerfMetricValue::parseMetricValue(text);
  if (value.unit() || !usable(value.doubleValue(), text)) return std::nullopt;
  return value.doubleValue();
}

}  // namespace

std::span<const PerfSeries> perfSeries() { return kPerfSeries; }

const PerfSeries* perfSeriesOf(LucidPerfMetric metric) {
  for (const auto& series : kPerfSeries) {
    if (series.metric == metric) return &series;
  }
  return nullptr;
}

double perfValue(PerfKind kind, std::string_view text) {
  using Unit = LucidPerfUnit;
  if (kind == K::bytes) return sizeInBytes(text).value_or(kNaN);
  const auto value = LucidPerfMetricValue::parseMetricValue(text);
  if (!usable(value.doubleValue(), text)) return kNaN;
  const double number = *value.doubleValue();
  if (!value.unit()) return kind == K::bytesPerSecond || kind == K::count ? number : kNaN;
  switch (kind) {
    case K::bytesPerSecond: return LucidPerfMetricValue::convertToBytes(number, *value.unit()).value_or(kNaN);
    case K::seconds:
      if (*value.unit() == Unit::microseconds) return number / 1e6;
      if (*value.unit() == Unit::milliseconds) return number / 1e3;
      return *value.unit() == Unit::seconds ? number : kNaN;
    case K::ratio: return *value.unit() == Unit::percent ? number / 100 : kNaN;
    case K::bytes:
    case K::count: return kNaN;
  }
  return kNaN;
}

std::optional<double> sizeInBytes(std::string_view text) {
  struct Unit {
    std::string_view name;
    double factor;
  };
  static constexpr Unit kUnits[] = {{"", 1},      {"B", 1},       {"KiB", 0x1p10}, {"MiB", 0x1p20}, {"GiB", 0x1p30},
                                    {"TiB", 0x1p40}, {"PiB", 0x1p50}, {"kB", 1e3},   {"KB", 1e3},     {"MB", 1e6},
                                    {"GB", 1e9},    {"TB", 1e12},   {"PB", 1e15}};
  text = trimmed(text);
  std::size_t letters = text.size();
  while (letters > 0 && ((text[letters - 1] >= 'A' && text[letters - 1] <= 'Z') ||
                         (text[letters - 1] >= 'a' && text[letters - 1] <= 'z'))) {
    --letters;
  }
  const std::string_view unit = text.substr(letters);
  const auto number = plainNumber(trimmed(text.substr(0, letters)));
  if (!number) return std::nullopt;
  for (const Unit& known : kUnits) {
    if (known.name == unit) return *number * known.factor;
  }
  return std::nullopt;
}

}  // namespace velmora::cli::serve
