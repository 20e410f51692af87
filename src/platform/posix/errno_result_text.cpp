// Result codes of the errno kind (Linux and other non-macOS backends): the
// system's strerror text.
#include <system_error>

#include "platform/smart_device.hpp"

namespace velmora::platform {

std::optional<std::string> systemResultText(KernReturn code) {
  if (code <= 0) return std::nullopt;
  std::string text = std::error_code(code, std::system_category()).message();
  if (text.rfind("Unknown error", 0) == 0) return std::nullopt;
  return text;
}

}  // namespace velmora::platform
