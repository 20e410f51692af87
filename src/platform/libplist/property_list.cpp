#include "platform/property_list.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errno/errno_calls.hpp"
#include "platform/libplist/input_checks.hpp"
#include "platform/unique_fd.hpp"

namespace velmora::platform {

namespace {

struct PlistFree {
  void operator()(plist_t node) const noexcept { plist_free(node); }
};
using UniquePlist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

struct IteratorFree {
  void operator()(plist_dict_iter iterator) const noexcept { std::free(iterator); }
};

// The whole file when it is a regular file of at most `limit` bytes. Opened
// without blocking, so that a FIFO in the file's place cannot hang the read.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t limit) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string data;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = retryOnInterrupt([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (count < 0) return std::nullopt;
    if (count == 0) return data;
    if (static_cast<std::size_t>(count) > limit - data.size()) return std::nullopt;
    data.append(buffer, static_cast<std::size_t>(count));
  }
}

}  // namespace

std::optional<PropertyListDictionary> parsePropertyListDictionary(std::string_view data) {
  if (data.empty() || data.size() > kMaxPropertyListBytes) return std::nullopt;
  const auto size = static_cast<std::uint32_t>(data.size());
  const bool binary = plist_is_binary(data.data(), size) != 0;
  if (!(binary ? binaryPropertyListIsAcceptable(data) : xmlPropertyListIsAcceptable(data))) return std::nullopt;

  plist_t parsed = nullptr;
  if (binary) {
    plist_from_bin(data.data(), size, &parsed);
  } else {
    plist_from_xml(data.data(), size, &parsed);
  }
  const UniquePlist root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;

  PropertyListDictionary entries;
  plist_dict_iter raw = nullptr;
  plist_dict_new_iter(root.get(), &raw);
  const std::unique_ptr<void, IteratorFree> iterator(raw);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), raw, &key, &value);
    if (!key) break;
    const std::unique_ptr<char, decltype(&std::free)> ownedKey(key, &std::free);
    std::optional<std::string> text;
    if (value && plist_get_node_type(value) == PLIST_STRING) {
      // Read with its length: a string that is shorter as C text holds a
      // NUL and would be cut, so the whole list is refused instead.
      std::uint64_t length = 0;
      const char* string = plist_get_string_ptr(value, &length);
      if (!string || std::strlen(string) != length) return std::nullopt;
      text.emplace(string, static_cast<std::size_t>(length));
    }
    entries.emplace(key, std::move(text));
  }
  return entries;
}

std::optional<PropertyListDictionary> readPropertyListDictionary(const std::string& path) {
  const auto data = readRegularFile(path, kMaxPropertyListBytes);
  if (!data) return std::nullopt;
  return parsePropertyListDictionary(*data);
}

}  // namespace velmora::platform
