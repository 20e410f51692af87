/// @file
/// Opening a pane of the system settings application.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "velmora/desktop.hpp"

namespace velmora {

/// The panes that can be opened.
enum class SystemPreferencesPanels {
  privacyAndSecurity,  // "security"
  localization,        // "localization"
  notification,        // "notifications"
};

/// The pane bundle's file name: "security", "localization", "notifications".
std::string_view rawValue(SystemPreferencesPanels panel) noexcept;
/// The pane whose raw value is exactly `text`; nothing for any other text.
std::optional<SystemPreferencesPanels> systemPreferencesPanel(std::string_view text) noexcept;

/// Opens the system settings application, at a pane or at its start.
class SystemSettingsInterface {
 public:
  /// The URL open() hands to the desktop: the pane bundle's file URL
  /// ("/System/Library/PreferencePanes/NAME.prefPane"), or the settings
  /// application's start page without a pane.
  static std::string url(std::optional<SystemPreferencesPanels> panel);

  /// Opens the pane with the desktop's default handler and returns at once;
  /// nothing is reported. Uses the desktop services in force unless given:
  /// a caller that must know whether an opener started passes its own, whose
  /// openURL() sees the answer.
  static void open(std::optional<SystemPreferencesPanels> panel, DesktopServices* desktop = nullptr);
};

}  // namespace velmora
