// Any answer handed to the config listing parser yields entries or fails
// with invalidOutput; slicing never leaves the row, and no key is empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "velmora/lucidlink/lucid_config.hpp"
#include "velmora/lucidlink/lucid_link_cli_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string answer(reinterpret_cast<const char*>(data), size);
  try {
    const velmora::LucidConfigListOutput listing(answer);
    if (listing.output() != answer) std::abort();
    for (const auto& [key, entry] : listing.entries()) {
      if (key.rawValue.empty() || !entry.effective || !entry.configured || !entry.scope || !entry.status) std::abort();
    }
  } catch (const velmora::LucidLinkCLIError& error) {
    if (error.errorCase() != velmora::LucidLinkCLIError::Case::invalidOutput) std::abort();
  }
  return 0;
}
