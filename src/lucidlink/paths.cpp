#include "lucidlink/paths.hpp"

#include <cstdlib>
#include <memory>

#include <utf8proc.h>

namespace velmora::detail {

std::filesystem::path standardizedFilePath(const std::filesystem::path& path) {
  std::filesystem::path absolute = path.is_absolute() ? path : std::filesystem::current_path() / path;
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return std::filesystem::path(text);
}

std::optional<std::filesystem::path> mountPointFromReport(std::string_view text) {
  const std::filesystem::path path(text);
  if (text.empty() || !path.is_absolute()) return std::nullopt;
  return standardizedFilePath(path);
}

bool isAtOrBelow(std::string_view folder, std::string_view path) {
  if (path.compare(0, folder.size(), folder) != 0) return false;
  if (path.size() == folder.size() || folder == "/") return true;
  return path[folder.size()] == '/';
}

std::string normalizedForComparison(std::string_view text) {
  utf8proc_uint8_t* mapped = nullptr;
  const auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                   static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) return std::string(text);
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(mapped, &std::free);
  return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
}

}  // namespace velmora::detail
