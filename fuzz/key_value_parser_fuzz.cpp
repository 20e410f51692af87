// Any text handed to the "key: value" parser yields a map without failing;
// no key or value carries a line feed or surrounding white space.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "lucidlink/parsers.hpp"
#include "lucidlink/text.hpp"
#include "velmora/diagnostics.hpp"

namespace {

void checkTrimmed(std::string_view text) {
  if (text.find('\n') != std::string_view::npos) std::abort();
  if (velmora::detail::trim(text, velmora::detail::isWhitespaceOrNewline).size() != text.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    velmora::setWarningSink([](std::string_view) {});
    return true;
  }();
  (void)quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& [key, value] : velmora::detail::parseKeyValueOutput(text)) {
    checkTrimmed(key);
    checkTrimmed(value);
  }
  return 0;
}
