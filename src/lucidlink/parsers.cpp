#include "lucidlink/parsers.hpp"

#include <string>

#include "lucidlink/text.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/lucidlink/lucid_link_cli_error.hpp"

namespace velmora::detail {

std::vector<LucidFileSpaceInfo> parseFilespaceTable(std::string_view text) {
  const LucidLinkCLIError notRunning(LucidLinkCLIError::Case::lucidNotRunning);
  if (text.empty()) throw notRunning;

  bool headerSeen = false;
  std::vector<LucidFileSpaceInfo> records;
  for (const std::string_view line : split(text, isNewline)) {
    const std::string_view content = trim(line, isBlank);
    if (content.empty()) continue;
    if (!headerSeen) {
      headerSeen = line.find("INSTANCE ID") != std::string_view::npos;
      continue;
    }
    const auto words = splitNonEmpty(content, isBlank);
    if (words.size() < 4) continue;
    records.push_back(LucidFileSpaceInfo{std::string(words[0]), std::string(words[1]),
                                         std::string(words[2]), std::string(words[3])});
  }
  if (!headerSeen) throw notRunning;
  return records;
}

LucidDictionary parseKeyValueOutput(std::string_view text) {
  LucidDictionary dictionary;
  // LF, CR and CRLF end a line (the empty piece between CR and LF is
  // dropped); VT, FF, U+0085, U+2028 and U+2029 may be part of a value.
  for (const std::string_view line : splitNonEmpty(text, isLineEnd)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      emitWarning("Warning: Skipping malformed line: " + std::string(line));
      continue;
    }
    dictionary.insert_or_assign(std::string(trim(line.substr(0, colon), isWhitespaceOrNewline)),
                                std::string(trim(line.substr(colon + 1), isWhitespaceOrNewline)));
  }
  return dictionary;
}

}  // namespace velmora::detail
