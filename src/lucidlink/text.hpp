// Text rules shared by the parsers of the LucidLink tool's output.
//
//   blank:    tab or a Unicode space separator (category Zs)
//   newline:  U+000A..U+000D, U+0085, U+2028, U+2029
//   line end: LF or CR (so CRLF too), where the status and cache reports
//             split; the other newline characters stay inside a value
//   white space (for trimming keys and values): blank or newline
//
// All functions work on UTF-8 text in byte offsets and never fail: a byte
// that does not start a well-formed sequence counts as one ordinary,
// non-blank character.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::detail {

bool isBlank(char32_t c) noexcept;
bool isNewline(char32_t c) noexcept;
inline bool isLineEnd(char32_t c) noexcept { return c == U'\n' || c == U'\r'; }
inline bool isWhitespaceOrNewline(char32_t c) noexcept { return isBlank(c) || isNewline(c); }

using CharPredicate = bool (*)(char32_t) noexcept;

// The code point at `text[at]` and its length in bytes.
struct DecodedChar {
  char32_t value;
  std::size_t length;
};
DecodedChar decodeAt(std::string_view text, std::size_t at) noexcept;

// `text` without the characters matching `drop` at both ends.
std::string_view trim(std::string_view text, CharPredicate drop) noexcept;

// Splits at every character matching `separator`; empty pieces are kept.
std::vector<std::string_view> split(std::string_view text, CharPredicate separator);

// Splits at every character matching `separator` and drops empty pieces.
std::vector<std::string_view> splitNonEmpty(std::string_view text, CharPredicate separator);

// Byte offsets at which the user-perceived characters (extended grapheme
// clusters) of `text` begin, followed by text.size(). For ASCII text without
// a carriage return before a line feed these are simply 0, 1, 2, ...
std::vector<std::size_t> graphemeStarts(std::string_view text);

// `text` with every occurrence of `pattern` removed.
std::string removeAll(std::string_view text, std::string_view pattern);

}  // namespace velmora::detail
