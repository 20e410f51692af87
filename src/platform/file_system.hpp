// File-system queries the logic needs from the platform.
#pragma once

#include <string>

namespace velmora::platform {

// Whether anything exists at `path`, following symbolic links: a directory
// or a file without execute permission counts as existing, a dangling link
// does not.
bool fileExists(const std::string& path) noexcept;

}  // namespace velmora::platform
