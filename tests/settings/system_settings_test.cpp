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

TEST(SystemSettings, OpensThePaneBundleOrTheStartPage) {
  RecordingDesktop desktop;
  SystemSettingsInterface::open(SystemPreferencesPanels::notification, &desktop);
  SystemSettingsInterface::open(std::nullopt, &desktop);
  EXPECT_EQ(desktop.urls, (std::vector<std::string>{"file:///System/Library/PreferencePanes/notifications.prefPane",
                                                    "x-apple.systempreferences:com.apple.preference"}));
}

}  // namespace
}  // namespace velmora
