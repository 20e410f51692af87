// How the tool's texts become numbers in base units: the performance
// counters (one series per counter, the layer as a label) and the cache
// report's sizes. Pure functions over text.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "velmora/lucidlink/lucid_perf.hpp"

namespace velmora::cli::serve {

// What a counter's series measures, and so which of the tool's units it takes.
enum class PerfKind {
  bytesPerSecond,  // "12.5MiB/s" (binary prefixes); a bare number is bytes per second
  seconds,         // "3ms", "7us", "1s"
  ratio,           // "87%" becomes 0.87
  bytes,           // a size, as sizeInBytes reads it
  count,           // a bare number
};

struct PerfSeries {
  LucidPerfMetric metric;
  const char* name;
  PerfKind kind;
  const char* help;
};

// Every counter the tool has (its time column and unrecognized names aside).
std::span<const PerfSeries> perfSeries();
// The series of `metric`; nullptr for the time column and unrecognized names.
const PerfSeries* perfSeriesOf(LucidPerfMetric metric);

// The counter's value in the series' base unit; NaN for "n/a", for text that
// is not a number in one of the kind's units, and for negative numbers or
// "inf"; +Inf for a number (or its conversion) beyond the largest double.
double perfValue(PerfKind kind, std::string_view text);

// A size such as "1.25 GiB", "0 B", "10GB" or "512" in bytes: binary prefixes
// KiB to PiB, decimal ones kB (or KB) to PB, B or no unit for bytes. Absent
// for anything else, and for negative numbers or "inf"; +Inf beyond the
// largest double.
std::optional<double> sizeInBytes(std::string_view text);

}  // namespace velmora::cli::serve
