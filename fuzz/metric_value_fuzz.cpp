// Any counter text is read without failing or undefined behaviour; a number
// with an integer always has the same float, and a unit only comes with a
// number (or is n/a).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velmora/lucidlink/lucid_perf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using velmora::LucidPerfMetricValue;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = LucidPerfMetricValue::parseMetricValue(text);
  const auto& integer = value.intValue();
  const auto& number = value.doubleValue();
  if (integer && (!number || *number != static_cast<double>(*integer))) std::abort();
  if (value.unit() && *value.unit() != velmora::LucidPerfUnit::notAvailable && !number) std::abort();
  if (value.unit() && number) (void)LucidPerfMetricValue::convertToBytes(*number, *value.unit());
  if (value.raw().size() > text.size()) std::abort();
  return 0;
}
