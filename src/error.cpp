#include "velmora/error.hpp"

namespace velmora {

// Out of line, so that the type's identity lives in the library and a catch
// in the application matches what the library throws.
Error::~Error() = default;

const std::string& Error::deviceStatus() const noexcept {
  static const std::string none;
  return none;
}

}  // namespace velmora
