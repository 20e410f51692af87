#include "velmora/settings/system_settings.hpp"

#include <gtest/gtest.h>

namespace velmora {
namespace {

class RecordingDesktop : public DesktopServices {
 public:
  int runModalAlert(const DesktopAlert&) override { return -1; }
  bool openURL(const std::string& url) override {
    urls.push_back(url);
    return true;
  }
  std::unique_ptr<PrivilegedScript> makeScript(const std::string&) override { return nullptr; }
  std::vector<std::string> urls;
};

TEST(SystemSettings, OpensThePaneBundlesOrTheStartPage) {
  RecordingDesktop desktop;
  SystemSettingsInterface::open(SystemPreferencesPanels::notification, &desktop);
  SystemSettingsInterface::open(SystemPreferencesPanels::privacyAndSecurity, &desktop);
  SystemSettingsInterface::open(SystemPreferencesPanels::localization, &desktop);
  SystemSettingsInterface::open(std::nullopt, &desktop);
  EXPECT_EQ(desktop.urls, (std::vector<std::string>{"file:///System/Library/PreferencePanes/notifications.prefPane",
                                                    "file:///System/Library/PreferencePanes/security.prefPane",
                                                    "file:///System/Library/PreferencePanes/localization.prefPane",
                                                    "x-apple.systempreferences:com.apple.preference"}));
}

TEST(SystemSettings, PanesAreKnownByTheirExactRawValues) {
  EXPECT_EQ(systemPreferencesPanel("security"), SystemPreferencesPanels::privacyAndSecurity);
  EXPECT_EQ(systemPreferencesPanel("notifications"), SystemPreferencesPanels::notification);
  EXPECT_EQ(systemPreferencesPanel("localization"), SystemPreferencesPanels::localization);
  for (const char* text : {"Security", "SECURITY", "notification", "privacyAndSecurity", ""}) {
    EXPECT_EQ(systemPreferencesPanel(text), std::nullopt) << text;
  }
}

}  // namespace
}  // namespace velmora
