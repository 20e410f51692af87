// Reading a property list (XML or binary) from a file.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace velmora::platform {

// The top-level dictionary of the property list at `path`: each key with its
// value when that is a string, and nothing for values of other types.
// Nothing at all when the file cannot be read or parsed, or its top level is
// not a dictionary.
std::optional<std::map<std::string, std::optional<std::string>>> readPropertyListDictionary(const std::string& path);

}  // namespace velmora::platform
