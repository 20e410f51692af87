#include "lucidlink/text.hpp"

#include <algorithm>

#include <utf8proc.h>

namespace velmora::detail {

bool isBlank(char32_t c) noexcept {
  if (c < 0x80) return c == ' ' || c == '\t';
  return utf8proc_category(static_cast<utf8proc_int32_t>(c)) == UTF8PROC_CATEGORY_ZS;
}

bool isNewline(char32_t c) noexcept {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

DecodedChar decodeAt(std::string_view text, std::size_t at) noexcept {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1};
  utf8proc_int32_t value = 0;
  const auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                                       static_cast<utf8proc_ssize_t>(text.size() - at), &value);
  if (length <= 0) return {0xFFFD, 1};
  return {static_cast<char32_t>(value), static_cast<std::size_t>(length)};
}

namespace {

// Length of the character ending at `end` (exclusive), found by stepping
// back over continuation bytes and decoding forward.
DecodedChar decodeBefore(std::string_view text, std::size_t end) noexcept {
  std::size_t start = end - 1;
  for (int back = 0; back < 3 && start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80; ++back)
    --start;
  const DecodedChar c = decodeAt(text, start);
  if (start + c.length == end) return c;
  return {0xFFFD, 1};  // not a well-formed sequence ending here: one odd byte
}

}  // namespace

std::string_view trim(std::string_view text, CharPredicate drop) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const DecodedChar c = decodeAt(text, begin);
    if (!drop(c.value)) break;
    begin += c.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const DecodedChar c = decodeBefore(text, end);
    if (!drop(c.value)) break;
    end -= c.length;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> split(std::string_view text, CharPredicate separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const DecodedChar c = decodeAt(text, at);
    if (separator(c.value)) {
      pieces.push_back(text.substr(start, at - start));
      start = at + c.length;
    }
    at += c.length;
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

std::vector<std::string_view> splitNonEmpty(std::string_view text, CharPredicate separator) {
  std::vector<std::string_view> pieces = split(text, separator);
  std::erase_if(pieces, [](std::string_view piece) { return piece.empty(); });
  return pieces;
}

std::vector<std::size_t> graphemeStarts(std::string_view text) {
  std::vector<std::size_t> starts;
  starts.reserve(text.size() + 1);
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }) &&
                     text.find("\r\n") == std::string_view::npos;
  if (plain) {
    for (std::size_t i = 0; i < text.size(); ++i) starts.push_back(i);
  } else {
    utf8proc_int32_t state = 0;
    char32_t previous = 0;
    for (std::size_t at = 0; at < text.size();) {
      const DecodedChar c = decodeAt(text, at);
      if (at == 0 || utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous),
                                                      static_cast<utf8proc_int32_t>(c.value), &state)) {
        starts.push_back(at);
      }
      previous = c.value;
      at += c.length;
    }
  }
  starts.push_back(text.size());
  return starts;
}

std::string removeAll(std::string_view text, std::string_view pattern) {
  std::string result;
  result.reserve(text.size());
  std::size_t at = 0;
  while (true) {
    const std::size_t found = pattern.empty() ? std::string_view::npos : text.find(pattern, at);
    if (found == std::string_view::npos) break;
    result.append(text.substr(at, found - at));
    at = found + pattern.size();
  }
  result.append(text.substr(at));
  return result;
}

}  // namespace velmora::detail
