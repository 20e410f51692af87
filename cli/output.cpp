// Standard output of the front end: every write checked, text from outside
// made safe for a terminal, bytes that are not text carried in JSON.
#include <cstdio>

#include <utf8proc.h>

#include "front_end.hpp"
#include "terminal/terminal.hpp"

namespace velmora::cli {

void printRaw(std::string_view text) {
  try {
    platform::writeStandardOutput(text);
  } catch (const std::system_error& error) {
    throw WriteError(error.code(), "write error");
  }
}

void printJson(const nlohmann::json& value) {
  printRaw(value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void printOrderedJson(const nlohmann::ordered_json& value) {
  printRaw(value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

namespace {

// Walks `text` as UTF-8: `character` gets each valid character with its
// bytes, `invalid` each byte that begins no valid sequence.
template <typename Character, typename Invalid>
void forEachCharacter(std::string_view text, Character&& character, Invalid&& invalid) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    utf8proc_int32_t codePoint = 0;
    const auto length = utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &codePoint);
    if (length <= 0) {
      invalid(static_cast<unsigned char>(text[at]));
      ++at;
      continue;
    }
    character(codePoint, text.substr(at, static_cast<std::size_t>(length)));
    at += static_cast<std::size_t>(length);
  }
}

}  // namespace

std::string escapedForTerminal(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  char escape[8];
  auto hex = [&](unsigned value, const char* format) {
    std::snprintf(escape, sizeof escape, format, value);
    shown += escape;
  };
  forEachCharacter(
      text,
      [&](utf8proc_int32_t c, std::string_view bytes) {
        if (c == '\\') {
          shown += "\\\\";
        } else if (c == '\n') {
          shown += "\\n";
        } else if (c == '\t') {
          shown += "\\t";
        } else if (c == '\r') {
          shown += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
          hex(static_cast<unsigned>(c), "\\x%02x");
        } else if (c >= 0x80 && c <= 0x9f) {
          hex(static_cast<unsigned>(c), "\\u%04x");
        } else {
          shown += bytes;
        }
      },
      [&](unsigned char byte) { hex(byte, "\\x%02x"); });
  return shown;
}

bool isUtf8(std::string_view bytes) {
  bool valid = true;
  forEachCharacter(bytes, [](utf8proc_int32_t, std::string_view) {}, [&](unsigned char) { valid = false; });
  return valid;
}

std::string base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  encoded.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      group = (group << 8) | (i < count ? static_cast<unsigned char>(bytes[at + i]) : 0u);
    }
    for (std::size_t i = 0; i < 4; ++i) {
      encoded += i <= count ? kDigits[(group >> (18 - 6 * i)) & 0x3f] : '=';
    }
  }
  return encoded;
}

}  // namespace velmora::cli
