#include "sim_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <ctime>
#include <time.h>
#include <unistd.h>

namespace lucid_sim {

void writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      std::exit(1);  // reader went away
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
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
  timespec remaining{static_cast<time_t>(seconds),
                     static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
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

std::string optionValue(const std::vector<std::string>& options, const std::string& name, const std::string& fallback) {
  for (const auto& option : options) {
    if (option == name) return "1";
    if (option.rfind(name + "=", 0) == 0) return option.substr(name.size() + 1);
  }
  return fallback;
}

}  // namespace lucid_sim
