// Pure parsers of the LucidLink tool's one-shot outputs.
#pragma once

#include <string_view>
#include <vector>

#include "velmora/lucidlink/lucid_file_space_info.hpp"
#include "velmora/lucidlink/lucid_link_reports.hpp"

namespace velmora::detail {

// The "list" table: the first line containing "INSTANCE ID" is the header;
// each later line of at least four blank-separated words is one instance
// (extra words ignored, shorter lines skipped). Lines may end with any
// newline character.
// Throws LucidLinkCLIError::lucidNotRunning when the text is empty, blank or
// has no header line.
std::vector<LucidFileSpaceInfo> parseFilespaceTable(std::string_view text);

// "key: value" lines, split at LF, CR and CRLF only; empty lines are skipped, a line
// without a colon gives a warning line and is skipped, keys and values are
// trimmed, and a later key replaces an earlier one. Never fails.
LucidDictionary parseKeyValueOutput(std::string_view text);

}  // namespace velmora::detail
