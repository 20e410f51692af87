// Reading a property list (XML or binary) from a file.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::platform {

// A property list's top-level dictionary: each key with its value when that
// is a string, and nothing for values of other types.
using PropertyListDictionary = std::map<std::string, std::optional<std::string>>;

// Property lists larger than this are refused.
inline constexpr std::size_t kMaxPropertyListBytes = 4 * 1024 * 1024;

// The dictionary held by `bytes`; nothing when they are not a property list,
// its top level is not a dictionary, a string or key holds U+0000 (text that
// cannot be kept whole), or it is nested or cross-referenced beyond the
// limits of libplist/input_checks.hpp.
std::optional<PropertyListDictionary> parsePropertyListDictionary(std::string_view bytes);

// The dictionary of the property list at `path`; nothing at all when it is
// not a regular file, cannot be read, is larger than kMaxPropertyListBytes,
// or its content is refused as above.
std::optional<PropertyListDictionary> readPropertyListDictionary(const std::string& path);

}  // namespace velmora::platform
