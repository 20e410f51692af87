// The stream parser of the tool's "perf" output, and the line buffering of a
// run in front of it.
//
// The output is a table: a marker line ("-- time --", "-- fs --",
// "-- cache --", "-- objectstore --") whose marker positions (UTF-8 byte
// offsets) fix each section's stretch, a column-name line with the metric
// names of each section, and sample lines with one token per name. Every
// sample line gives one update per non-time section, in section order.
//
// Choices made here:
//   - Lines shorter than the stretches are cut at their own end: a stretch
//     past the end of a line is empty, never read beyond it.
//   - A section that names a metric twice keeps the first pair.
//
// In steady state a sample line costs no allocation: the parser refills the
// same dictionaries and the same update, whose strings keep their capacity.
// An update is valid only during the receiver's call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmora/lucidlink/lucid_perf.hpp"

namespace velmora::detail {

class LucidPerfParser {
 public:
  enum class ColumnHeader { time, fileSystem, cache, objectStore };

  struct ColumnRange {
    std::size_t begin;  // byte offsets in the line, half-open
    std::size_t end;
    ColumnHeader header;
    friend bool operator==(const ColumnRange&, const ColumnRange&) = default;
  };

  // Parses `text` line by line (any line-break character ends a line) and
  // hands every update to `receiver` before returning.
  void processOutput(std::string_view text, LucidLinkPerformanceUpdateReciever& receiver);
  // The same for text known to hold no line-break character.
  void processLine(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver);

  static std::vector<ColumnRange> columnRanges(std::string_view markerLine);

 private:
  // What reading one section of a sample line needs, worked out once per
  // marker line or column-name line rather than once per sample line.
  struct SectionPlan {
    std::vector<LucidPerfMetric> metrics;  // the section's names, from the column-name line
    std::vector<std::uint8_t> kept;   // per metric: not named earlier in the section
    bool extraKept = false;           // the first token past the names is kept as unrecognized
    LucidPerfDictionary dictionary;   // refilled in place by every sample line
  };

  void parseHeaderLine(std::string_view line);
  void plan();
  void parseSample(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver);
  void fill(SectionPlan& section, std::string_view stretch);

  std::vector<ColumnRange> columnRanges_;
  std::vector<std::pair<ColumnHeader, std::vector<LucidPerfMetric>>> columnMetricLookup_;
  bool headerParsed_ = false;
  std::vector<SectionPlan> sections_;  // one per entry of columnRanges_
  std::size_t timeSection_ = 0;        // index into sections_; sections_.size() without one
  std::size_t timeIndex_ = 0;          // of currentDateAndTimeUTC among the time names; npos without
  LucidPerfUpdate update_{};           // handed to the receiver; its timestamp is set once per line
};

// Cuts a run's output, arriving in arbitrary blocks, into lines at line
// feeds, drops lines that are not UTF-8, and feeds the rest to a parser.
// A line longer than kMaxLine is dropped up to its line feed, so that memory
// stays bounded on a stream that never ends a line. A last line without a
// line feed is never parsed.
class PerfLineStream {
 public:
  static constexpr std::size_t kMaxLine = 1024 * 1024;

  void feed(std::string_view block, LucidLinkPerformanceUpdateReciever& receiver);
  std::size_t pendingBytes() const noexcept { return pending_.size(); }

 private:
  void completeLine(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver);

  LucidPerfParser parser_;
  std::string pending_;      // the unfinished last line; its capacity is reused
  std::string line_;         // a line completed from pending bytes, while it is parsed
  bool discarding_ = false;  // inside a line that grew past kMaxLine
};

}  // namespace velmora::detail
