#include "velmora/lucidlink/lucid_perf.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "lucidlink/text.hpp"
#include "platform/number_parsing.hpp"

namespace velmora {

namespace {

struct MetricFacts {
  LucidPerfMetric metric;
  std::string_view raw;
  std::string_view description;
  bool bytes;
  // Layers for which the metric may be requested.
  bool fs, cache, objectStore;
};

using M = LucidPerfMetric;

// Indexed by LucidPerfMetric (checked below).
constexpr std::array<MetricFacts, kPerfMetricCount> kMetrics = {{
    {M::currentDateAndTimeUTC, "currentDateAndTimeUTC", "currentDateAndTimeUTC", false, false, false, false},
    {M::readBytes, "readBytes", "Read Bytes", true, true, true, false},
    {M::writeBytes, "writeBytes", "Write Bytes", true, true, true, false},
    {M::reads, "reads", "reads", false, true, true, false},
    {M::writes, "writes", "writes", false, true, true, false},
    {M::readTime, "readTime", "readTime", false, true, true, false},
    {M::writeTime, "writeTime", "writeTime", false, true, true, false},
    {M::pendingOps, "pendOps", "pendOps", false, true, false, false},
    {M::cacheHits, "%hits", "Cache Hits", false, false, true, false},
    {M::bckWriteBytes, "bckWriteBytes", "bckWriteBytes", true, false, true, false},
    {M::dirtyBytes, "dirtyBytes", "dirtyBytes", false, false, true, false},
    {M::cacheUtilization, "%", "Cache Utilization", false, false, true, false},
    {M::getBytes, "getBytes", "Get Bytes", true, false, false, true},
    {M::putBytes, "putBytes", "Put Bytes", true, false, false, true},
    {M::schedGets, "schedGets", "schedGets", false, false, false, true},
    {M::schedPuts, "schedPuts", "schedPuts", false, false, false, true},
    {M::activeGets, "activeGets", "activeGets", false, false, false, true},
    {M::activePuts, "activePuts", "activePuts", false, false, false, true},
    {M::gets, "gets", "gets", false, false, false, true},
    {M::puts, "puts", "puts", false, false, false, true},
    {M::getFails, "getFails", "getFails", false, false, false, true},
    {M::putFails, "putFails", "putFails", false, false, false, true},
    {M::getCanceled, "getCanceled", "getCanceled", false, false, false, true},
    {M::putCanceled, "putCanceled", "putCanceled", false, false, false, true},
    {M::getTime, "getTime", "getTime", false, false, false, true},
    {M::putTime, "putTime", "putTime", false, false, false, true},
    {M::unrecognized, "unrecognized", "unrecognized", false, false, false, false},
}};

// Each row sits at its enumerator's index, so that a row added in the wrong
// place fails to compile instead of shifting every lookup.
template <typename Table, typename Key>
constexpr bool indexedBy(const Table& table, Key key(const typename Table::value_type&)) {
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (static_cast<std::size_t>(key(table[i])) != i) return false;
  }
  return true;
}
static_assert(static_cast<std::size_t>(M::unrecognized) + 1 == kPerfMetricCount);
static_assert(indexedBy(kMetrics, +[](const MetricFacts& row) { return row.metric; }));

const MetricFacts& facts(LucidPerfMetric metric) { return kMetrics[static_cast<std::size_t>(metric)]; }

bool requestable(LucidPerfMetric metric, LucidDataLayer layer) {
  switch (layer) {
    case LucidDataLayer::fileSystem: return facts(metric).fs;
    case LucidDataLayer::cache: return facts(metric).cache;
    case LucidDataLayer::objectStore: return facts(metric).objectStore;
    case LucidDataLayer::all: return false;
  }
  return false;
}

constexpr std::array<std::pair<LucidPerfUnit, std::string_view>, 9> kUnits = {{
    {LucidPerfUnit::bytesPerSecond, "B/s"},
    {LucidPerfUnit::kibibytesPerSecond, "KiB/s"},
    {LucidPerfUnit::mebibytesPerSecond, "MiB/s"},
    {LucidPerfUnit::gibibytesPerSecond, "GiB/s"},
    {LucidPerfUnit::microseconds, "us"},
    {LucidPerfUnit::milliseconds, "ms"},
    {LucidPerfUnit::seconds, "s"},
    {LucidPerfUnit::percent, "%"},
    {LucidPerfUnit::notAvailable, "n/a"},
}};

static_assert(kUnits.size() == static_cast<std::size_t>(LucidPerfUnit::notAvailable) + 1);
static_assert(indexedBy(kUnits, +[](const std::pair<LucidPerfUnit, std::string_view>& row) { return row.first; }));

// The order in which a value's end is matched: longer units first.
constexpr std::array<LucidPerfUnit, 8> kUnitMatchOrder = {
    LucidPerfUnit::kibibytesPerSecond, LucidPerfUnit::mebibytesPerSecond, LucidPerfUnit::gibibytesPerSecond,
    LucidPerfUnit::bytesPerSecond,     LucidPerfUnit::microseconds,       LucidPerfUnit::milliseconds,
    LucidPerfUnit::seconds,            LucidPerfUnit::percent};

// An optional sign, then ASCII digits only, fitting 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // from_chars takes "-" but not "+".
  if (text.front() == '+') text.remove_prefix(1);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parseFloat(std::string_view text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case '\0': case '\t': case '\n': case '\v': case '\f': case '\r': case ' ':
      return std::nullopt;
    default:
      return platform::parseDoubleInCLocale(std::string(text));
  }
}

// Fills the number from `text`; false, with both left alone, when it is no
// number.
bool readNumber(std::string_view text, std::optional<std::int64_t>& intValue, std::optional<double>& doubleValue) {
  if (const auto integer = parseInteger(text)) {
    intValue = integer;
    doubleValue = static_cast<double>(*integer);
    return true;
  }
  if (const auto floating = parseFloat(text)) {
    doubleValue = floating;
    return true;
  }
  return false;
}

}  // namespace

std::string_view rawValue(LucidDataLayer layer) noexcept {
  switch (layer) {
    case LucidDataLayer::fileSystem: return "fs";
    case LucidDataLayer::cache: return "cache";
    case LucidDataLayer::objectStore: return "objectstore";
    case LucidDataLayer::all: return "all";
  }
  return "";
}

std::optional<LucidDataLayer> lucidDataLayer(std::string_view text) noexcept {
  for (const auto layer : kAllDataLayers) {
    if (rawValue(layer) == text) return layer;
  }
  return std::nullopt;
}

const std::array<LucidPerfMetric, kPerfMetricCount>& allPerfMetrics() noexcept {
  static const auto all = [] {
    std::array<LucidPerfMetric, kPerfMetricCount> metrics{};
    for (std::size_t i = 0; i < kPerfMetricCount; ++i) metrics[i] = static_cast<LucidPerfMetric>(i);
    return metrics;
  }();
  return all;
}

std::string_view rawValue(LucidPerfMetric metric) noexcept { return facts(metric).raw; }
std::string_view description(LucidPerfMetric metric) noexcept { return facts(metric).description; }
bool isBytesMetric(LucidPerfMetric metric) noexcept { return facts(metric).bytes; }

std::optional<LucidPerfMetric> lucidPerfMetric(std::string_view text) noexcept {
  for (std::size_t i = 0; i < kPerfMetricCount; ++i) {
    if (kMetrics[i].raw == text) return static_cast<LucidPerfMetric>(i);
  }
  return std::nullopt;
}

std::vector<std::string> LucidPerfQuery::arguments() const {
  std::vector<std::string> words{"perf"};
  if (layersToMetrics.count(LucidDataLayer::all) != 0) return words;
  for (const auto& [layer, metrics] : layersToMetrics) {
    words.push_back("--" + std::string(rawValue(layer)));
    std::string names;
    for (const auto metric : metrics) {
      if (!requestable(metric, layer)) continue;
      if (!names.empty()) names += ',';
      names += rawValue(metric);
    }
    if (!names.empty()) words.push_back(std::move(names));
  }
  return words;
}

LucidPerfDictionary::LucidPerfDictionary(std::initializer_list<Entry> entries) {
  for (const auto& [metric, value] : entries) insert(metric, value);
}

bool LucidPerfDictionary::insert(LucidPerfMetric metric, std::string value) {
  if (contains(metric)) return false;
  entries_.emplace_back(metric, std::move(value));
  return true;
}

const std::string* LucidPerfDictionary::find(LucidPerfMetric metric) const noexcept {
  for (const auto& entry : entries_) {
    if (entry.first == metric) return &entry.second;
  }
  return nullptr;
}

const std::string& LucidPerfDictionary::at(LucidPerfMetric metric) const {
  if (const auto* value = find(metric)) return *value;
  throw std::out_of_range("no value for " + std::string(rawValue(metric)));
}

bool operator==(const LucidPerfDictionary& a, const LucidPerfDictionary& b) {
  if (a.size() != b.size()) return false;
  return std::all_of(a.begin(), a.end(), [&b](const auto& entry) {
    const auto* other = b.find(entry.first);
    return other && *other == entry.second;
  });
}

std::string_view rawValue(LucidPerfUnit unit) noexcept { return kUnits[static_cast<std::size_t>(unit)].second; }

std::optional<LucidPerfUnit> lucidPerfUnit(std::string_view text) noexcept {
  for (const auto& [unit, raw] : kUnits) {
    if (raw == text) return unit;
  }
  return std::nullopt;
}

LucidPerfMetricValue LucidPerfMetricValue::parseMetricValue(std::string_view text) {
  LucidPerfMetricValue value;
  const std::string_view trimmed = detail::trim(text, detail::isBlank);
  value.raw_ = std::string(trimmed);
  if (trimmed == "n/a") {
    value.unit_ = LucidPerfUnit::notAvailable;
    return value;
  }
  for (const auto unit : kUnitMatchOrder) {
    const std::string_view suffix = rawValue(unit);
    if (trimmed.size() < suffix.size() || trimmed.substr(trimmed.size() - suffix.size()) != suffix) continue;
    if (readNumber(trimmed.substr(0, trimmed.size() - suffix.size()), value.intValue_, value.doubleValue_)) {
      value.unit_ = unit;
    }
    break;  // the first unit the text ends with decides
  }
  if (!value.unit_) readNumber(trimmed, value.intValue_, value.doubleValue_);
  return value;
}

std::optional<double> LucidPerfMetricValue::convertToBytes(double value, LucidPerfUnit unit) noexcept {
  switch (unit) {
    case LucidPerfUnit::bytesPerSecond: return value;
    case LucidPerfUnit::kibibytesPerSecond: return value * 1024.0;
    case LucidPerfUnit::mebibytesPerSecond: return value * 1024.0 * 1024.0;
    case LucidPerfUnit::gibibytesPerSecond: return value * 1024.0 * 1024.0 * 1024.0;
    default: return std::nullopt;
  }
}

}  // namespace velmora
