// On macOS the desktop is reached through osascript and open.
#include "velmora/desktop.hpp"

namespace velmora {

std::shared_ptr<DesktopServices> platformDesktopServices() { return osascriptDesktopServices("/usr/bin"); }

}  // namespace velmora
