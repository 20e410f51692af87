// On macOS the desktop is reached through osascript and open.
#include <utility>

#include "velmora/desktop.hpp"

namespace velmora {

std::shared_ptr<DesktopServices> platformDesktopServices() { return osascriptDesktopServices("/usr/bin"); }

std::shared_ptr<DesktopServices> platformDesktopServices(std::shared_ptr<CLIRunControl> control) {
  return osascriptDesktopServices("/usr/bin", std::move(control));
}

}  // namespace velmora
