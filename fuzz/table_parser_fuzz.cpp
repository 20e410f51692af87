// Any text handed to the "list" table parser either yields records or fails
// with lucidNotRunning; it never crashes, and every record's fields are
// non-empty and free of blanks and line ends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "lucidlink/parsers.hpp"
#include "lucidlink/text.hpp"
#include "velmora/lucidlink/lucid_link_cli_error.hpp"

namespace {

void checkField(std::string_view field) {
  if (field.empty()) std::abort();
  for (std::size_t at = 0; at < field.size();) {
    const auto c = velmora::detail::decodeAt(field, at);
    if (velmora::detail::isBlank(c.value) || velmora::detail::isNewline(c.value)) std::abort();
    at += c.length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    for (const auto& record : velmora::detail::parseFilespaceTable(text)) {
      checkField(record.instanceID);
      checkField(record.filespace);
      checkField(record.port);
      checkField(record.mode);
    }
  } catch (const velmora::LucidLinkCLIError& error) {
    if (error.errorCase() != velmora::LucidLinkCLIError::Case::lucidNotRunning) std::abort();
  }
  return 0;
}
