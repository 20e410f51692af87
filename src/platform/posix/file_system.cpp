#include "platform/file_system.hpp"

#include <sys/stat.h>

namespace velmora::platform {

bool fileExists(const std::string& path) noexcept {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::time_t modificationTime(const std::string& path) noexcept {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mtime;
}

}  // namespace velmora::platform
