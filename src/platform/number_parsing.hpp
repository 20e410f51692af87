// Reading numbers independently of the host's locale.
#pragma once

#include <optional>
#include <string>

namespace velmora::platform {

// What strtod accepts in the C locale when it consumes all of `text`;
// nothing otherwise (also for text with an embedded NUL).
std::optional<double> parseDoubleInCLocale(const std::string& text) noexcept;

}  // namespace velmora::platform
