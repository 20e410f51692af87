// File-system queries the logic needs from the platform.
#pragma once

#include <ctime>
#include <string>

namespace velmora::platform {

// Whether anything exists at `path`, following symbolic links: a directory
// or a file without execute permission counts as existing, a dangling link
// does not.
bool fileExists(const std::string& path) noexcept;

// The modification time of `path` itself (a link's own, not its target's),
// in seconds since the epoch; 0 when it cannot be read.
std::time_t modificationTime(const std::string& path) noexcept;

}  // namespace velmora::platform
