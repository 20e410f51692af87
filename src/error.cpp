#include "velmora/error.hpp"

namespace velmora {

namespace {

std::string withNulsShown(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace

Error::Error(const std::string& description, std::int32_t systemCode)
    : std::runtime_error(withNulsShown(description)), systemCode_(systemCode) {}

// Out of line, so that the type's identity lives in the library and a catch
// in the application matches what the library throws.
Error::~Error() = default;

const std::string& Error::deviceStatus() const noexcept {
  static const std::string none;
  return none;
}

}  // namespace velmora
