#include "platform/property_list.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>

#include <plist/plist.h>

namespace velmora::platform {

namespace {

struct PlistFree {
  void operator()(plist_t node) const noexcept { plist_free(node); }
};
using UniquePlist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

struct IteratorFree {
  void operator()(plist_dict_iter iterator) const noexcept { std::free(iterator); }
};

}  // namespace

std::optional<PropertyListDictionary> parsePropertyListDictionary(std::string_view data) {
  if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;

  plist_t parsed = nullptr;
  plist_from_memory(data.data(), static_cast<std::uint32_t>(data.size()), &parsed);
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
      char* string = nullptr;
      plist_get_string_val(value, &string);
      if (string) {
        text = string;
        std::free(string);
      }
    }
    entries.emplace(key, std::move(text));
  }
  return entries;
}

std::optional<PropertyListDictionary> readPropertyListDictionary(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  const std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return parsePropertyListDictionary(data);
}

}  // namespace velmora::platform
