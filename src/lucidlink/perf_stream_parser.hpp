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
#pragma once

#include <cstddef>
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

  using Section = std::pair<ColumnHeader, LucidPerfDictionary>;

  // Parses `text` line by line (any line-break character ends a line) and
  // hands every update to `receiver` before returning.
  void processOutput(std::string_view text, LucidLinkPerformanceUpdateReciever& receiver);

  static std::vector<ColumnRange> columnRanges(std::string_view markerLine);
  void parseHeaderLine(std::string_view line);
  std::vector<Section> parseValueLine(std::string_view line) const;


 private:
  void processLine(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver);

  std::vector<ColumnRange> columnRanges_;
  std::vector<std::pair<ColumnHeader, std::vector<LucidPerfMetric>>> columnMetricLookup_;
  bool headerParsed_ = false;
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
