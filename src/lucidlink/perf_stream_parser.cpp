#include "lucidlink/perf_stream_parser.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

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

constexpr std::uint64_t kEveryByte(unsigned char byte) { return 0x0101010101010101ULL * byte; }

// True when every byte of `text` is ASCII from the space up (DEL included):
// such text is UTF-8 and holds no line-break character. Eight bytes at a
// time: a byte below 0x20 borrows into its high bit, one from 0x80 has it.
bool isPlainAscii(std::string_view text) noexcept {
  std::size_t at = 0;
  for (; at + 8 <= text.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + at, sizeof word);
    if (((word - kEveryByte(0x20)) | word) & kEveryByte(0x80)) return false;
  }
  for (; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x20 || byte >= 0x80) return false;
  }
  return true;
}

// The length of the line-break character (U+000A..U+000D, U+0085, U+2028,
// U+2029) at `text[at]`, 0 when there is none. In UTF-8 their encodings
// are these byte sequences exactly.
std::size_t lineBreakAt(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
  const unsigned lead = byte(at);
  if (lead >= 0x0A && lead <= 0x0D) return 1;
  if (lead == 0xC2 && byte(at + 1) == 0x85) return 2;
  if (lead == 0xE2 && byte(at + 1) == 0x80 && (byte(at + 2) == 0xA8 || byte(at + 2) == 0xA9)) return 3;
  return 0;
}

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

// Which pairs of each section a sample line keeps: a metric's first name
// only, and of the tokens past the names only the first, as unrecognized,
// unless a name already is.
void LucidPerfParser::plan() {
  sections_.clear();
  sections_.resize(columnRanges_.size());
  timeSection_ = sections_.size();
  timeIndex_ = std::string_view::npos;
  for (std::size_t i = 0; i < columnRanges_.size(); ++i) {
    const ColumnHeader header = columnRanges_[i].header;
    SectionPlan& section = sections_[i];
    const auto found = std::find_if(columnMetricLookup_.begin(), columnMetricLookup_.end(),
                                    [&](const auto& entry) { return entry.first == header; });
    if (found != columnMetricLookup_.end()) section.metrics = found->second;
    std::array<bool, kPerfMetricCount> named{};
    for (const LucidPerfMetric metric : section.metrics) {
      auto& seen = named[static_cast<std::size_t>(metric)];
      section.kept.push_back(!seen);
      seen = true;
    }
    section.extraKept = !named[static_cast<std::size_t>(LucidPerfMetric::unrecognized)];
    section.dictionary.entries_.reserve(section.metrics.size() + 1);
    if (header == ColumnHeader::time && timeSection_ == sections_.size()) {
      timeSection_ = i;
      const auto& names = section.metrics;
      const auto stamp = std::find(names.begin(), names.end(), LucidPerfMetric::currentDateAndTimeUTC);
      if (stamp != names.end()) timeIndex_ = static_cast<std::size_t>(stamp - names.begin());
    }
  }
}

void LucidPerfParser::fill(SectionPlan& section, std::string_view text) {
  auto& entries = section.dictionary.entries_;
  const std::size_t names = section.metrics.size();
  std::size_t count = 0;
  auto put = [&](LucidPerfMetric metric, std::string_view value) {
    if (count == entries.size()) {
      entries.emplace_back(metric, std::string(value));
    } else {
      entries[count].first = metric;
      entries[count].second.assign(value);
    }
    ++count;
  };
  std::size_t index = 0;
  forEachWord(text, [&](std::string_view token) {
    if (index < names) {
      if (section.kept[index]) put(section.metrics[index], token);
    } else if (index == names && section.extraKept) {
      put(LucidPerfMetric::unrecognized, token);
    }
    ++index;
  });
  for (; index < names; ++index) {
    if (section.kept[index]) put(section.metrics[index], {});
  }
  entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(count), entries.end());
}

void LucidPerfParser::parseSample(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver) {
  if (timeSection_ == sections_.size() || timeIndex_ == std::string_view::npos) return;  // no time, no updates
  const ColumnRange& time = columnRanges_[timeSection_];
  std::string_view stamp;  // a missing token is the empty timestamp
  std::size_t index = 0;
  forEachWord(stretch(line, time.begin, time.end), [&](std::string_view token) {
    if (index++ == timeIndex_) stamp = token;
  });
  if (stamp == "currentDateAndTimeUTC") return;  // a repeated column-name line
  update_.timestamp.assign(stamp);
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if (i == timeSection_) continue;
    const ColumnRange& range = columnRanges_[i];
    fill(sections_[i], stretch(line, range.begin, range.end));
    update_.dataLayer = layerOf(range.header);
    // Lent to the update for the call, and taken back whatever the receiver does.
    struct Lend {
      LucidPerfDictionary& a;
      LucidPerfDictionary& b;
      Lend(LucidPerfDictionary& x, LucidPerfDictionary& y) noexcept : a(x), b(y) { a.entries_.swap(b.entries_); }
      ~Lend() { a.entries_.swap(b.entries_); }
    } lend(update_.dictionary, sections_[i].dictionary);
    receiver.didReceivePerfUpdate(update_);
  }
}

void LucidPerfParser::processLine(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver) {
  if (line.empty()) return;
  if (line.substr(0, 2) == "--") {
    columnRanges_ = columnRanges(line);
    plan();
    return;
  }
  if (!headerParsed_) {
    if (columnRanges_.empty()) return;
    parseHeaderLine(line);
    headerParsed_ = true;
    plan();
    return;
  }
  parseSample(line, receiver);
}

void LucidPerfParser::processOutput(std::string_view text, LucidLinkPerformanceUpdateReciever& receiver) {
  if (isPlainAscii(text)) return processLine(text, receiver);
  std::size_t start = 0;
  for (std::size_t at = 0; at < text.size();) {
    if (const std::size_t length = lineBreakAt(text, at)) {
      processLine(text.substr(start, at - start), receiver);
      at += length;
      start = at;
    } else {
      ++at;
    }
  }
  processLine(text.substr(start), receiver);
}

void PerfLineStream::completeLine(std::string_view line, LucidLinkPerformanceUpdateReciever& receiver) {
  // The usual sample line is plain ASCII: one pass shows it is UTF-8 and
  // holds no other line break.
  if (isPlainAscii(line)) {
    parser_.processLine(line, receiver);
  } else if (isValidUtf8(line)) {  // invalid lines are dropped silently
    parser_.processOutput(line, receiver);
  }
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
