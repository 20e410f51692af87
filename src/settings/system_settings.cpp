#include "velmora/settings/system_settings.hpp"

#include <array>
#include <utility>

namespace velmora {

namespace {

constexpr std::array<std::pair<SystemPreferencesPanels, std::string_view>, 3> kPanels = {{
    {SystemPreferencesPanels::privacyAndSecurity, "security"},
    {SystemPreferencesPanels::localization, "localization"},
    {SystemPreferencesPanels::notification, "notifications"},
}};

}  // namespace

std::string_view rawValue(SystemPreferencesPanels panel) noexcept {
  for (const auto& [value, raw] : kPanels) {
    if (value == panel) return raw;
  }
  return "";
}

std::optional<SystemPreferencesPanels> systemPreferencesPanel(std::string_view text) noexcept {
  for (const auto& [value, raw] : kPanels) {
    if (raw == text) return value;
  }
  return std::nullopt;
}

std::string SystemSettingsInterface::url(std::optional<SystemPreferencesPanels> panel) {
  if (!panel) return "x-apple.systempreferences:com.apple.preference";
  return "file:///System/Library/PreferencePanes/" + std::string(rawValue(*panel)) + ".prefPane";
}

void SystemSettingsInterface::open(std::optional<SystemPreferencesPanels> panel, DesktopServices* desktop) {
  const std::string target = url(panel);
  if (desktop) {
    desktop->openURL(target);
  } else {
    desktopServices()->openURL(target);
  }
}

}  // namespace velmora
