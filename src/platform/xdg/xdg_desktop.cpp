// Desktop services on Linux: URLs through `xdg-open`. There are no modal
// alerts or AppleScript here: an alert gets no answer (-1) and no script can
// be made, which callers see as failures rather than as success.
#include <memory>

#include "platform/desktop_support.hpp"
#include "velmora/desktop.hpp"

namespace velmora {

namespace {

class XdgDesktop final : public DesktopServices {
 public:
  int runModalAlert(const DesktopAlert&) override { return -1; }
  bool openURL(const std::string& url) override { return platform::launchOpener("/usr/bin/xdg-open", url); }
  std::unique_ptr<PrivilegedScript> makeScript(const std::string&) override { return nullptr; }
};

}  // namespace

std::shared_ptr<DesktopServices> platformDesktopServices() { return std::make_shared<XdgDesktop>(); }

// The opener is not waited for, so there is nothing for the control to stop.
std::shared_ptr<DesktopServices> platformDesktopServices(std::shared_ptr<CLIRunControl>) { return platformDesktopServices(); }

}  // namespace velmora
