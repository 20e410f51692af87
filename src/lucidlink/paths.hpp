// File paths as the LucidLink client compares them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::detail {

// The path of a file URL made from `path`: absolute (a relative path is taken
// from the current directory), "." and ".." removed lexically, no trailing
// separator; symbolic links are not resolved.
std::filesystem::path standardizedFilePath(const std::filesystem::path& path);

// The location a report's "Mount point" text names, standardized; nothing
// when the text is empty or relative, since resolving it against the current
// directory would make the instance serve whatever lies below that.
std::optional<std::filesystem::path> mountPointFromReport(std::string_view text);

// Whether `folder` is `path` or a folder above it, by whole path components.
bool isAtOrBelow(std::string_view folder, std::string_view path);

// `text` in Unicode normalization form C, so that texts that differ only in
// normalization compare equal; text that is not UTF-8 is returned unchanged.
std::string normalizedForComparison(std::string_view text);

}  // namespace velmora::detail
