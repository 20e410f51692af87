// Reading a property list (XML or binary) from a file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::platform {

// A property list's top-level dictionary: each key with its value when that
// is a string, and nothing for values of other types.
using PropertyListDictionary = std::map<std::string, std::optional<std::string>>;

// The dictionary held by `bytes`; nothing when they are not a property list
// or its top level is not a dictionary.
std::optional<PropertyListDictionary> parsePropertyListDictionary(std::string_view bytes);

// The dictionary of the property list at `path`; nothing at all when the
// file cannot be read or parsed, or its top level is not a dictionary.
std::optional<PropertyListDictionary> readPropertyListDictionary(const std::string& path);

}  // namespace velmora::platform
