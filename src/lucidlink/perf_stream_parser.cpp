#include "lucidlink/perf_stream_parser.hpp"

#include <algorithm>
#include <array>

#include "lucidlink/text.hpp"
#include "runner/utf8.hpp"

namespace velmora::detail {

namespace {

using ColumnHeader = LucidPerfParser::ColumnHeader;

constexpr std::array<std::pair<ColumnHeader, std::string_view>, 4> kMarkers = {{
    {ColumnHeader::time, "-- time --"},
    {ColumnHeader::fileSystem, "-- fs --"},
    {ColumnHeader::cache, "-- cache --"},
    {ColumnHeader::objectStore, "-- objectstore --"},
}};

LucidDataLayer layerOf(ColumnHeader header) {
  switch (header) {
    case ColumnHeader::fileSystem: return LucidDataLayer::fileSystem;
    case ColumnHeader::cache: return LucidDataLayer::cache;
    default: return LucidDataLayer::objectStore;
  }
}

// The part of `line` under [begin, end), cut at the line's own end.
std::string_view stretch(std::string_view line, std::size_t begin, std::size_t end) {
  if (begin >= line.size()) return {};
  return line.substr(begin, std::min(end, line.size()) - begin);
}

// Calls `word` for each space-separated, non-empty word of `text`.
template <typename Word>
void forEachWord(std::string_view text, Word&& word) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(' ', at);
    if (start == std::string_view::npos) return;
    std::size_t end = text.find(' ', start);
    if (end == std::string_view::npos) end = text.size();
    word(text.substr(start, end - start));
    at = end;
  }
}

bool isLineBreakByte(unsigned char c) { return c >= 0x0A && c <= 0x0D; }

}  // namespace

std::vector<LucidPerfParser::ColumnRange> LucidPerfParser::columnRanges(std::string_view markerLine) {
  std::vector<ColumnRange> ranges;
  for (const auto& [header, marker] : kMarkers) {
    const std::size_t found = markerLine.find(marker);
    if (found != std::string_view::npos) ranges.push_back({found, markerLine.size(), header});
  }
  std::sort(ranges.begin(), ranges.end(), [](const auto& a, const auto& b) { return a.begin < b.begin; });
  for (std::size_t i = 0; i + 1 < ranges.size(); ++i) ranges[i].end = ranges[i + 1].begin;
  return ranges;
}

void LucidPerfParser::parseHeaderLine(std::string_view line) {
  for (const auto& range : columnRanges_) {
    std::vector<LucidPerfMetric> metrics;
    forEachWord(trim(stretch(line, range.begin, range.end), isBlank), [&metrics](std::string_view word) {
      if (const auto metric = lucidPerfMetric(word)) metrics.push_back(*metric);
    });
    auto existing = std::find_if(columnMetricLookup_.begin(), columnMetricLookup_.end(),
                                 [&](const auto& entry) { return entry.first == range.header; });
    if (existing != columnMetricLookup_.end()) {
      existing->second = std::move(metrics);
    } else {
      columnMetricLookup_.emplace_back(range.header, std::move(metrics));
    }
  }
}

std::vector<LucidPerfParser::Section> LucidPerfParser::parseValueLine(std::string_view line) const {
  static const std::vector<LucidPerfMetric> kNoMetrics;
  std::vector<Section> sections;
  sections.reserve(columnRanges_.size());
  for (const auto& range : columnRanges_) {
    auto found = std::find_if(columnMetricLookup_.begin(), columnMetricLookup_.end(),
                              [&](const auto& entry) { return entry.first == range.header; });
    const auto& metrics = found != columnMetricLookup_.end() ? found->second : kNoMetrics;

    LucidPerfDictionary dictionary;
    dictionary.reserve(metrics.size());
    std::size_t index = 0;
    forEachWord(stretch(line, range.begin, range.end), [&](std::string_view token) {
      dictionary.insert(index < metrics.size() ? metrics[index] : LucidPerfMetric::unrecognized, std::string(token));
      ++index;
    });
    for (; index < metrics.size(); ++index) dictionary.insert(metrics[index], std::string());
    sections.emplace_back(range.header, std::move(dictionary));
  }
  return sections;
}

void LucidPerfParser::processLine(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver) {
  if (line.substr(0, 2) == "--") {
    columnRanges_ = columnRanges(line);
    return;
  }
  if (!headerParsed_) {
    if (columnRanges_.empty()) return;
    parseHeaderLine(line);
    headerParsed_ = true;
    return;
  }
  auto sections = parseValueLine(line);
  const auto time = std::find_if(sections.begin(), sections.end(),
                                 [](const Section& s) { return s.first == ColumnHeader::time; });
  if (time == sections.end()) return;
  const std::string* stamp = time->second.find(LucidPerfMetric::currentDateAndTimeUTC);
  if (!stamp || *stamp == "currentDateAndTimeUTC") return;  // no time, or a repeated column-name line
  const std::string timestamp = *stamp;
  for (auto& section : sections) {
    if (section.first == ColumnHeader::time) continue;
    receiver.didReceivePerfUpdate(LucidPerfUpdate{layerOf(section.first), timestamp, std::move(section.second)});
  }
}

void LucidPerfParser::processOutput(std::string_view text, LucidLinkPerformanceUpdateReciever& receiver) {
  // Any line-break character ends a line; most lines hold none but the line
  // feed already cut away, so look for the ASCII ones first.
  std::size_t start = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    std::size_t length = 1;
    bool lineBreak = isLineBreakByte(byte);
    if (!lineBreak && byte >= 0x80) {
      const DecodedChar c = decodeAt(text, at);
      length = c.length;
      lineBreak = isNewline(c.value);
    }
    if (lineBreak) {
      if (at > start) processLine(text.substr(start, at - start), receiver);
      start = at + length;
    }
    at += length;
  }
  if (at > start) processLine(text.substr(start), receiver);
}

void PerfLineStream::completeLine(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver) {
  if (isValidUtf8(line)) parser_.processOutput(line, receiver);  // invalid lines are dropped silently
}

void PerfLineStream::feed(std::string_view block, LucidLinkPerformanceUpdateReciever& receiver) {
  while (!block.empty()) {
    const std::size_t lineFeed = block.find('\n');
    if (lineFeed == std::string_view::npos) {
      // An unfinished line: keep it, unless it has grown too long to be a line.
      if (!discarding_ && pending_.size() + block.size() > kMaxLine) {
        discarding_ = true;
        pending_.clear();
      }
      if (!discarding_) pending_.append(block);
      return;
    }
    const std::string_view rest = block.substr(0, lineFeed);
    block.remove_prefix(lineFeed + 1);
    if (discarding_) {
      discarding_ = false;  // the overlong line ends here
      continue;
    }
    if (pending_.empty()) {
      completeLine(rest, receiver);  // straight from the block: no copy
    } else if (pending_.size() + rest.size() > kMaxLine) {
      pending_.clear();
    } else {
      // Taken out of the pending bytes before it is delivered, so that
      // nothing a receiver does can see it delivered twice.
      pending_.append(rest);
      line_.swap(pending_);
      pending_.clear();
      completeLine(line_, receiver);
    }
  }
}

}  // namespace velmora::detail
