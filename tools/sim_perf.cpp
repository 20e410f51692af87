#include "sim_perf.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include <ctime>

#include "sim_support.hpp"

namespace lucid_sim {

namespace {

struct PerfSection {
  std::string name;                  // "time", "fs", "cache", "objectstore"
  std::vector<std::string> metrics;  // column names
};

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::vector<PerfSection> perfSections(const std::vector<std::string>& args) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> defaults = {
      {"fs", {"readBytes", "writeBytes", "reads", "writes", "readTime", "writeTime", "pendOps"}},
      {"cache", {"readBytes", "writeBytes", "%hits", "bckWriteBytes", "dirtyBytes", "%"}},
      {"objectstore", {"getBytes", "putBytes", "gets", "puts", "getTime", "putTime"}},
  };
  std::vector<PerfSection> sections{{"time", {"currentDateAndTimeUTC"}}};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i].rfind("--", 0) != 0) continue;
    const std::string layer = args[i].substr(2);
    std::vector<std::string> metrics;
    if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) metrics = splitCommas(args[++i]);
    for (const auto& [name, names] : defaults) {
      if (name == layer && metrics.empty()) metrics = names;
    }
    sections.push_back({layer, metrics});
  }
  if (sections.size() == 1) {
    for (const auto& [name, names] : defaults) sections.push_back({name, names});
  }
  return sections;
}

// Every value of a column fits its width, so all lines share the positions.
std::size_t columnWidth(const std::string& metric) {
  return metric == "currentDateAndTimeUTC" ? 26 : std::max<std::size_t>(14, metric.size() + 2);
}

std::size_t sectionWidth(const PerfSection& section) {
  std::size_t width = 0;
  for (const auto& metric : section.metrics) width += columnWidth(metric);
  return std::max(width, section.name.size() + 8);
}

// Sample times start at the run's start and advance by one period (one
// millisecond when unpaced), so they always increase.
struct PerfClock {
  std::time_t start = std::time(nullptr);
  long periodMs = 1;
};

std::string perfValue(const std::string& metric, long sample, const PerfClock& clock) {
  const long k = sample % 97;
  if (metric == "currentDateAndTimeUTC") {
    const long elapsedMs = sample * clock.periodMs;
    const std::time_t seconds = clock.start + elapsedMs / 1000;
    const std::tm utc = *std::gmtime(&seconds);  // one thread only
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, elapsedMs % 1000);
    return stamp;
  }
  if (metric.find("Bytes") != std::string::npos && metric != "dirtyBytes") {
    return std::to_string(k) + ".5MiB/s";
  }
  if (metric.find("Time") != std::string::npos) return k % 7 == 0 ? "n/a" : std::to_string(k % 10) + "ms";
  if (metric == "%" || metric == "%hits") return std::to_string(k) + "%";
  return std::to_string(k * 3);
}

std::string perfHeader(const std::vector<PerfSection>& sections) {
  std::string markers, names;
  for (const auto& section : sections) {
    const std::size_t width = sectionWidth(section);
    std::string marker = "-- " + section.name + " --";
    marker += std::string(width > marker.size() ? width - marker.size() : 1, '-');
    marker.back() = ' ';
    markers += marker;
    std::string columns;
    for (const auto& metric : section.metrics) columns += padded(metric, columnWidth(metric));
    names += padded(columns, width);
  }
  return markers + "\n" + names + "\n";
}

std::string perfSample(const std::vector<PerfSection>& sections, long sample, const PerfClock& clock) {
  std::string line;
  for (const auto& section : sections) {
    const std::size_t width = sectionWidth(section);
    std::string columns;
    for (const auto& metric : section.metrics) columns += padded(perfValue(metric, sample, clock), columnWidth(metric));
    line += padded(columns, width);
  }
  return line + "\n";
}

}  // namespace

void runPerf(const std::string& state, const std::vector<std::string>& args) {
  const auto options = words(readFile(state + "/options"));
  const double rate = std::atof(optionValue(options, "perf-rate", "20").c_str());
  const long count = std::atol(optionValue(options, "perf-count", "-1").c_str());
  const long repeatHeader = std::atol(optionValue(options, "perf-repeat-header", "0").c_str());
  const bool crlf = optionValue(options, "perf-crlf", "") == "1";
  const bool split = optionValue(options, "perf-split", "") == "1";
  const bool invalid = optionValue(options, "perf-invalid-utf8", "") == "1";
  const auto sections = perfSections(args);

  std::string buffer;
  auto emit = [&](std::string text, bool flush) {
    if (crlf) {
      std::string converted;
      for (const char c : text) converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
      text = converted;
    }
    if (split) {
      const std::size_t half = text.size() / 2;
      writeAll(text.substr(0, half));
      sleepFor(0.02);
      writeAll(text.substr(half));
      return;
    }
    buffer += text;
    if (flush || buffer.size() >= 64 * 1024) {
      writeAll(buffer);
      buffer.clear();
    }
  };

  const bool paced = rate > 0;
  PerfClock clock;
  if (paced) clock.periodMs = std::max(1L, static_cast<long>(1000.0 / rate));
  if (optionValue(options, "perf-banner", "") == "1") emit("LucidLink performance monitor\nPress Ctrl-C to stop.\n", paced);
  emit(perfHeader(sections), paced);
  if (optionValue(options, "perf-endless-line", "") == "1") {
    const std::string chunk(64 * 1024, 'x');
    for (;;) writeAll(chunk);
  }
  for (long sample = 0; count < 0 || sample < count; ++sample) {
    if (repeatHeader > 0 && sample > 0 && sample % repeatHeader == 0) emit(perfHeader(sections), false);
    std::string line = perfSample(sections, sample, clock);
    if (invalid && sample % 3 == 2) line.insert(0, "\xff\xfe");
    emit(line, paced);
    if (paced) sleepFor(1.0 / rate);
  }
  emit("", true);
}

}  // namespace lucid_sim
