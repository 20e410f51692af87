// Desktop services on Linux: URLs through `xdg-open`. There are no modal
// alerts or AppleScript here: an alert gets no answer (-1) and no script can
// be made, which callers see as failures rather than as success.
#include <memory>
#include <system_error>

#include "platform/process.hpp"
#include "velmora/desktop.hpp"

namespace velmora {

namespace {

class XdgDesktop final : public DesktopServices {
 public:
  int runModalAlert(const DesktopAlert&) override { return -1; }

  bool openURL(const std::string& url) override {
    auto opener = std::make_unique<platform::ChildProcess>("/usr/bin/xdg-open", std::vector<std::string>{url});
    try {
      opener->start();
    } catch (const std::system_error&) {
      return false;  // no opener installed
    }
    opener->letRunToEnd();
    return true;
  }

  std::unique_ptr<PrivilegedScript> makeScript(const std::string&) override { return nullptr; }
};

}  // namespace

std::shared_ptr<DesktopServices> platformDesktopServices() { return std::make_shared<XdgDesktop>(); }

}  // namespace velmora
