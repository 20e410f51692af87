#include <filesystem>
#include <memory>
#include <sstream>

#include "platform/file_system.hpp"
#include "platform/serial_queue.hpp"
#include "velmora/kext/kernel_extension.hpp"

namespace velmora {

namespace {

// `text` as one shell word: single quotes, each embedded ' written '\''.
std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// `text` inside an AppleScript string literal.
std::string appleScriptEscaped(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// Calls the closure at most once, whichever path gets there.
class OnceCallback {
 public:
  explicit OnceCallback(KernelExtensionCommandDelegate::ErrorClosure closure) : closure_(std::move(closure)) {}
  void operator()(std::optional<KernelExtensionError> error) {
    if (called_.exchange(true)) return;
    if (closure_) closure_(std::move(error));
  }

 private:
  KernelExtensionCommandDelegate::ErrorClosure closure_;
  std::atomic<bool> called_{false};
};

std::shared_ptr<DesktopServices> orCurrent(const std::shared_ptr<DesktopServices>& given) {
  return given ? given : desktopServices();
}

void showNotApprovedAlert(const std::shared_ptr<DesktopServices>& services) {
  platform::mainQueueAsync([services] {
    const int answer = services->runModalAlert(DesktopAlert{
        "Extension Failed to Load",
        "Extension not approved to load. Please approve using System Preferences. \n\n(This may require a computer "
        "restart)",
        AlertStyle::warning,
        {"Cancel", "Open System Settings"}});
    if (answer == 1) services->openURL("file://" + KernelExtensionCommandDelegate::privacyAndSecurityPane);
  });
}

// The bundle path as its file URL sees it: no trailing separator.
std::filesystem::path bundlePath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return std::filesystem::path(path);
}

}  // namespace

std::string kextLoadShellCommand(const std::string& path) { return "kextload " + shellQuoted(path); }

std::string kextLoadScriptSource(const std::string& path) {
  return "do shell script \"" + appleScriptEscaped(kextLoadShellCommand(path)) + "\" with administrator privileges";
}

KernelExtensionCommandDelegate::KernelExtensionCommandDelegate(std::shared_ptr<DesktopServices> desktop)
    : desktop_(std::move(desktop)) {}

std::shared_ptr<DesktopServices> KernelExtensionCommandDelegate::desktop() const { return orCurrent(desktop_); }

std::optional<std::string> KernelExtensionCommandDelegate::expectedExtensionName(const std::string& extensionID) const {
  std::optional<std::string> last;
  std::istringstream pieces(extensionID);
  for (std::string piece; std::getline(pieces, piece, '.');) {
    if (!piece.empty()) last = piece;
  }
  return last;
}

KernelExtensionInfo KernelExtensionCommandDelegate::kernelExtensionInfo(const std::string& path) const {
  return KernelExtensionInfoFactory::kernelExtensionInfo(path);
}

KernelExtensionInfo KernelExtensionCommandDelegate::fileSystemExtensionInfo(const std::string& path) const {
  return KernelExtensionInfoFactory::kernelExtensionInfo(path);
}

void KernelExtensionCommandDelegate::loadKernelExtension(const std::string& path, ErrorClosure errorClosure) {
  using Case = KernelExtensionError::Case;
  auto callback = std::make_shared<OnceCallback>(std::move(errorClosure));
  // The work keeps what it needs, not this object: an adopter that goes away
  // while a load is in flight leaves nothing dangling.
  std::shared_ptr<DesktopServices> services = desktop();
  platform::mainQueueAsync([path, callback, services] {
    const std::filesystem::path bundle = bundlePath(path);
    if (!platform::fileExists(path) || bundle.extension() != ".kext") {
      (*callback)(KernelExtensionError(Case::kernelExtensionNotFound));
      return;
    }
    const std::string name = path.find("macfuse") != std::string::npos ? "macfuse" : bundle.stem().string();
    services->runModalAlert(DesktopAlert{"Kernel extension needs loaded",
                                         "The application needs to load the " + name + " kernel extension.",
                                         AlertStyle::critical,
                                         {}});
    std::shared_ptr<PrivilegedScript> script = services->makeScript(kextLoadScriptSource(path));
    if (!script) {
      (*callback)(KernelExtensionError::failedToLoadKernelExtension({{"error", "failed to create appleScript"}}));
      return;
    }
    platform::globalQueueAsync([script, callback, services] {
      const auto errorInfo = script->execute();
      if (!errorInfo) {
        (*callback)(std::nullopt);
        return;
      }
      const auto message = errorInfo->find("NSAppleScriptErrorMessage");
      if (message != errorInfo->end() && message->second.find("not approved to load") != std::string::npos) {
        showNotApprovedAlert(services);
      }
      (*callback)(KernelExtensionError::failedToLoadKernelExtension(*errorInfo));
    });
  });
}

void KernelExtensionCommandDelegate::presentNotApprovedToLoadAlert() { showNotApprovedAlert(desktop()); }

void KernelExtensionCommandDelegate::openPrivacyAndSecuritySettings() {
  desktop()->openURL("file://" + privacyAndSecurityPane);
}

}  // namespace velmora
