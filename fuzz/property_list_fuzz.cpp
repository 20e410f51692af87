// Any bytes handed to the property-list reader, XML or binary, yield a
// dictionary or nothing: never a crash, an assertion or a hang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/property_list.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)velmora::platform::parsePropertyListDictionary(bytes);
  return 0;
}
