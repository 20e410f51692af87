#include "platform/file_system.hpp"

#include <sys/stat.h>

namespace velmora::platform {

bool fileExists(const std::string& path) noexcept {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace velmora::platform
