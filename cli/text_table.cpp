#include <algorithm>

#include <utf8proc.h>

#include "front_end.hpp"

namespace velmora::cli {

namespace {

// Columns that `text` takes on a terminal: wide characters two, combining
// marks and other zero-width characters none. A byte that is not UTF-8
// (escaping leaves none) counts one.
std::size_t displayWidth(std::string_view text) {
  std::size_t width = 0;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    utf8proc_int32_t codePoint = 0;
    const auto length = utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &codePoint);
    if (length <= 0) {
      ++width;
      ++at;
      continue;
    }
    width += static_cast<std::size_t>(std::max(0, utf8proc_charwidth(codePoint)));
    at += static_cast<std::size_t>(length);
  }
  return width;
}

}  // namespace

std::string textTable(std::vector<std::vector<std::string>> rows) {
  for (auto& row : rows) {
    for (auto& cell : row) cell = escapedForTerminal(cell);
  }
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], displayWidth(row[column]));
    }
  }
  std::string out;
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      out += row[column];
      if (column + 1 < row.size()) out.append(widths[column] - displayWidth(row[column]) + 2, ' ');
    }
    out += '\n';
  }
  return out;
}

}  // namespace velmora::cli
