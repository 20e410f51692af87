#include "sim_support.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace lucid_sim {

void writeAll(std::string_view bytes) {
  // Standard output is unbuffered (see main), so the reader sees exactly the
  // pieces written here, split lines included.
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) std::exit(1);  // reader went away
}

std::string jsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

void sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string stateDirectory(const char* launchPath) {
  if (const char* fromEnvironment = std::getenv("LUCID_SIM_STATE")) return fromEnvironment;
  return std::string(launchPath) + ".d";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> result;
  for (std::string word; in >> word;) result.push_back(word);
  return result;
}

std::string padded(const std::string& text, std::size_t width) {
  return text + std::string(width > text.size() ? width - text.size() : 1, ' ');
}

namespace {

// Decodes the code point at `at` and moves past it; a byte that does not
// begin a valid sequence counts as one code point of its own.
char32_t nextCodePoint(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length <= 1 || at + length > text.size()) {
    ++at;
    return lead;
  }
  char32_t value = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) value = (value << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
  at += length;
  return value;
}

// Code points that join the character before them: combining marks of the
// common blocks, variation selectors, the zero-width joiner and emoji
// skin-tone modifiers.
bool extendsCharacter(char32_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) || (c >= 0x0591 && c <= 0x05BD) ||
         (c >= 0x0610 && c <= 0x061A) || (c >= 0x064B && c <= 0x065F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
         (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) || (c >= 0x3099 && c <= 0x309A) ||
         (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200D ||
         (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0100 && c <= 0xE01EF);
}

}  // namespace

std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  bool joined = false;  // the previous code point was a zero-width joiner
  for (std::size_t at = 0; at < text.size();) {
    const char32_t c = nextCodePoint(text, at);
    if (!extendsCharacter(c) && !joined) ++count;
    joined = c == 0x200D;
  }
  return count;
}

std::string paddedToCharacters(const std::string& text, std::size_t width) {
  const std::size_t count = characterCount(text);
  return text + std::string(width > count ? width - count : 1, ' ');
}

std::string optionValue(const std::vector<std::string>& options, const std::string& name, const std::string& fallback) {
  for (const auto& option : options) {
    if (option == name) return "1";
    if (option.rfind(name + "=", 0) == 0) return option.substr(name.size() + 1);
  }
  return fallback;
}

}  // namespace lucid_sim
