/// @file
/// Live performance counters of a LucidLink instance: what may be asked for,
/// the request, what comes back, and how one counter's text is read.
///
/// A query's layer groups always come in the order fs, cache, objectstore.
/// An update's dictionary keeps the tool's column order; when a section names
/// a metric twice, the first value is kept. Numbers are read in the C locale,
/// whatever locale the host has set.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

/// A layer of the instance whose counters a run reports: fileSystem ("fs"),
/// cache, objectStore ("objectstore"), or all (every layer; in a query only).
enum class LucidDataLayer { fileSystem, cache, objectStore, all };

///@{
/// allCases and wellDefined of LucidDataLayer.
inline constexpr std::array<LucidDataLayer, 4> kAllDataLayers = {
    LucidDataLayer::fileSystem, LucidDataLayer::cache, LucidDataLayer::objectStore, LucidDataLayer::all};
inline constexpr std::array<LucidDataLayer, 3> kWellDefinedDataLayers = {
    LucidDataLayer::fileSystem, LucidDataLayer::cache, LucidDataLayer::objectStore};
///@}

std::string_view rawValue(LucidDataLayer layer) noexcept;  // "fs", "cache", "objectstore", "all"
/// The layer whose raw value is exactly `text`; nothing for any other text.
std::optional<LucidDataLayer> lucidDataLayer(std::string_view text) noexcept;

/// A counter of a layer, named as the tool's column unless said otherwise.
enum class LucidPerfMetric {
  /// The sample's time stamp column.
  currentDateAndTimeUTC,
  readBytes,
  writeBytes,
  reads,
  writes,
  readTime,
  writeTime,
  pendingOps,        // "pendOps"
  cacheHits,         // "%hits"
  bckWriteBytes,
  dirtyBytes,
  cacheUtilization,  // "%"
  getBytes,
  putBytes,
  schedGets,
  schedPuts,
  activeGets,
  activePuts,
  gets,
  puts,
  getFails,
  putFails,
  getCanceled,
  putCanceled,
  getTime,
  putTime,
  /// A column this library does not know.
  unrecognized,
};

/// The cases of LucidPerfMetric.
inline constexpr std::size_t kPerfMetricCount = 27;
/// allCases of LucidPerfMetric, in declaration order.
const std::array<LucidPerfMetric, kPerfMetricCount>& allPerfMetrics() noexcept;

std::string_view rawValue(LucidPerfMetric metric) noexcept;  // the tool's column name
/// The metric whose raw value is exactly `text`; nothing for any other text.
std::optional<LucidPerfMetric> lucidPerfMetric(std::string_view text) noexcept;
std::string_view description(LucidPerfMetric metric) noexcept;  // a display name
/// True for readBytes, writeBytes, bckWriteBytes, getBytes and putBytes only.
bool isBytesMetric(LucidPerfMetric metric) noexcept;

/// Which metrics to request for which layer. A query holding `all` asks for
/// everything the tool has.
struct LucidPerfQuery {
  /// The query of these layers and their metrics.
  explicit LucidPerfQuery(std::map<LucidDataLayer, std::vector<LucidPerfMetric>> layers = {})
      : layersToMetrics(std::move(layers)) {}

  /// Empty metrics: the layer's defaults.
  std::map<LucidDataLayer, std::vector<LucidPerfMetric>> layersToMetrics;

  /// The tool's words: "perf", then per layer "--LAYER" and, when any of its
  /// metrics can be asked of that layer, their names joined with ",".
  std::vector<std::string> arguments() const;
};

namespace detail {
class LucidPerfParser;
}

/// The raw texts of one layer's counters in one sample: one value per metric,
/// kept in the order of the tool's columns.
class LucidPerfDictionary {
 public:
  /// A metric and its raw text.
  using Entry = std::pair<LucidPerfMetric, std::string>;

  ///@{
  /// An empty dictionary, or one holding `entries` as insert() adds them.
  LucidPerfDictionary() = default;
  LucidPerfDictionary(std::initializer_list<Entry> entries);
  ///@}

  /// Adds the pair unless the metric already has a value (the first wins).
  bool insert(LucidPerfMetric metric, std::string value);
  /// The metric's value; nullptr when it has none.
  const std::string* find(LucidPerfMetric metric) const noexcept;
  /// Whether the metric has a value.
  bool contains(LucidPerfMetric metric) const noexcept { return find(metric) != nullptr; }
  /// The metric's value.
  /// @throws std::out_of_range for a metric without a value.
  const std::string& at(LucidPerfMetric metric) const;

  /// The number of pairs.
  std::size_t size() const noexcept { return entries_.size(); }
  /// No pairs.
  bool empty() const noexcept { return entries_.empty(); }
  /// Room for `count` pairs.
  void reserve(std::size_t count) { entries_.reserve(count); }
  ///@{
  /// The pairs (Entry), in insertion order.
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }
  ///@}

  /// Equal when both hold the same pairs, in any order.
  friend bool operator==(const LucidPerfDictionary& a, const LucidPerfDictionary& b);

 private:
  friend class detail::LucidPerfParser;  // refills a dictionary in place, its strings keeping their capacity
  std::vector<Entry> entries_;
};

/// One layer's counters of one sample row.
struct LucidPerfUpdate {
  LucidDataLayer dataLayer;   // never `all`
  std::string timestamp;      // as the tool printed it
  /// The layer's counters.
  LucidPerfDictionary dictionary;

  /// Equal when every field is.
  friend bool operator==(const LucidPerfUpdate&, const LucidPerfUpdate&) = default;
};

/// One counter's text read as a number and a unit; made only by
/// parseMetricValue().
class LucidPerfMetricValue {
 public:
  /// The units the tool prints.
  enum class LucidPerfUnit {
    bytesPerSecond,      // "B/s"
    kibibytesPerSecond,  // "KiB/s"
    mebibytesPerSecond,  // "MiB/s"
    gibibytesPerSecond,  // "GiB/s"
    microseconds,        // "us"
    milliseconds,        // "ms"
    seconds,             // "s"
    percent,             // "%"
    notAvailable,        // "n/a"
  };

  /// Never fails: what cannot be read stays absent.
  static LucidPerfMetricValue parseMetricValue(std::string_view text);
  /// A byte rate in bytes per second (binary prefixes); absent for other units.
  static std::optional<double> convertToBytes(double value, LucidPerfUnit unit) noexcept;

  const std::string& raw() const noexcept { return raw_; }  // the text without surrounding spaces and tabs
  /// The number, when it is an integer that fits.
  const std::optional<std::int64_t>& intValue() const noexcept { return intValue_; }
  /// Present whenever intValue() is, and for numbers that are no integer.
  const std::optional<double>& doubleValue() const noexcept { return doubleValue_; }
  /// The unit after the number; absent when there is none or it is unknown.
  const std::optional<LucidPerfUnit>& unit() const noexcept { return unit_; }

  /// Equal when every part is.
  friend bool operator==(const LucidPerfMetricValue&, const LucidPerfMetricValue&) = default;

 private:
  LucidPerfMetricValue() = default;
  std::string raw_;
  std::optional<std::int64_t> intValue_;
  std::optional<double> doubleValue_;
  std::optional<LucidPerfUnit> unit_;
};

/// The units, by their short name.
using LucidPerfUnit = LucidPerfMetricValue::LucidPerfUnit;

/// The unit's text: "B/s", "ms", "%", "n/a" ...
std::string_view rawValue(LucidPerfUnit unit) noexcept;
/// The unit whose text is exactly `text`; nothing for any other text.
std::optional<LucidPerfUnit> lucidPerfUnit(std::string_view text) noexcept;

/// How a performance run ended.
struct LucidPerfRunEnd {
  /// Why it ended.
  enum class Reason {
    exited,          // the tool exited by itself; `exitStatus` holds its status
    killedBySignal,  // a signal it was not sent by its client ended it; `signal` holds it
    launchFailed,    // the tool could not be started; `message` holds the platform's reason
    stopped,         // its client stopped it (cancel, kill all, or the client's end)
  };
  /// Why it ended.
  Reason reason = Reason::exited;
  /// Exited: the tool's exit status.
  int exitStatus = 0;
  /// KilledBySignal: the signal's number.
  int signal = 0;
  /// launchFailed: the platform's reason. Otherwise empty, unless reading the
  /// tool's output failed: then it says how, and the library terminated the
  /// tool (its signal or status is the one it ended with).
  std::string message;
  /// The errno behind a launch failure or a failed read of the output; 0
  /// otherwise.
  int systemCode = 0;

  /// Equal when every field is.
  friend bool operator==(const LucidPerfRunEnd&, const LucidPerfRunEnd&) = default;
};

/// Receives the updates of a performance run, on the run's own thread, in
/// line order and, within a line, in section order, never two at once. An
/// update is lent for the call only (the run refills it for the next one):
/// copy what is to be kept.
///
/// A run holds its receiver weakly: the caller keeps it alive. Once a stop of
/// the run has returned, no new update begins; one already running on another
/// thread may finish. An exception thrown by a callback is caught and reported
/// through the warning sink; the run goes on.
class LucidLinkPerformanceUpdateReciever {
 public:
  virtual ~LucidLinkPerformanceUpdateReciever() = default;
  /// One layer's counters of one sample.
  virtual void didReceivePerfUpdate(const LucidPerfUpdate& update) = 0;

  /// Called exactly once, after the last update, when the run is over and its
  /// tool is gone (reaped, also after a stop), with the run's process
  /// identifier (0 when it never started) and how it ended. Not called when
  /// the receiver no longer exists by then.
  virtual void didEndPerfRun(std::int32_t processIdentifier, const LucidPerfRunEnd& end) {
    (void)processIdentifier;
    (void)end;
  }
};

}  // namespace velmora
