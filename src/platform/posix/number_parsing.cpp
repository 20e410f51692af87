#include "platform/number_parsing.hpp"

#include <clocale>
#include <cstdlib>
#include <cstring>

#include <locale.h>
#ifdef __APPLE__
#include <xlocale.h>
#endif

namespace velmora::platform {

namespace {

// Created once and never freed: strtod_l needs it for the life of the process.
locale_t cLocale() noexcept {
  static const locale_t locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

std::optional<double> parseDoubleInCLocale(const std::string& text) noexcept {
  if (text.empty() || std::strlen(text.c_str()) != text.size()) return std::nullopt;
  const locale_t locale = cLocale();
  if (locale == static_cast<locale_t>(nullptr)) return std::nullopt;
  char* end = nullptr;
  const double value = ::strtod_l(text.c_str(), &end, locale);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

}  // namespace velmora::platform
