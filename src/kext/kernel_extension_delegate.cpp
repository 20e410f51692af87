// Loading a kernel extension and the alerts around it.
//
// The global queue of user-interactive quality of service that runs the
// script is a thread of its own for each load, ending with it. The three
// operations the original interface requires of its adopters are left out:
// nothing here would call them.
#include <atomic>
#include <exception>
#include <filesystem>
#include <memory>
#include <sstream>
#include <utility>

#include "platform/desktop_support.hpp"
#include "platform/file_system.hpp"
#include "platform/serial_queue.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/kext/kernel_extension.hpp"

namespace velmora {

namespace {

using Completion = KernelExtensionCommandDelegate::Completion;

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

// What an exception in flight says about itself.
std::string describeCurrentException() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

// Calls an application's callback; one that throws is reported, and harms
// nothing that follows it.
template <typename Callback, typename... Arguments>
void callGuarded(const Callback& callback, Arguments&&... arguments) noexcept {
  if (!callback) return;
  try {
    callback(std::forward<Arguments>(arguments)...);
  } catch (...) {
    emitWarning("Warning: A kernel extension callback threw: " + describeCurrentException());
  }
}

// Calls the closure at most once, whichever path gets there.
class OnceCallback {
 public:
  explicit OnceCallback(KernelExtensionCommandDelegate::ErrorClosure closure) : closure_(std::move(closure)) {}
  void operator()(std::optional<KernelExtensionError> error) {
    if (called_.exchange(true)) return;
    callGuarded(closure_, std::move(error));
  }

 private:
  KernelExtensionCommandDelegate::ErrorClosure closure_;
  std::atomic<bool> called_{false};
};

// Calls `finished` once the last of `parts` has arrived.
class Countdown {
 public:
  Countdown(int parts, Completion finished) : remaining_(parts), finished_(std::move(finished)) {}
  void arrive() {
    if (remaining_.fetch_sub(1) == 1) callGuarded(finished_);
  }

 private:
  std::atomic<int> remaining_;
  Completion finished_;
};

std::shared_ptr<DesktopServices> orCurrent(const std::shared_ptr<DesktopServices>& given) {
  return given ? given : desktopServices();
}

// The alert and the pane run on the main queue; `answered` follows them
// whatever the desktop did, even when it threw.
void showNotApprovedAlert(const std::shared_ptr<DesktopServices>& services, Completion answered) {
  platform::mainQueueAsync([services, answered = std::move(answered)] {
    try {
      const int answer = services->runModalAlert(DesktopAlert{
          "Extension Failed to Load",
          "Extension not approved to load. Please approve using System Preferences. \n\n(This may require a "
          "computer restart)",
          AlertStyle::warning,
          {"Cancel", "Open System Settings"}});
      if (answer == 1) services->openURL("file://" + KernelExtensionCommandDelegate::privacyAndSecurityPane);
    } catch (...) {
      emitWarning("Warning: The not-approved alert failed: " + describeCurrentException());
    }
    callGuarded(answered);
  });
}

// The bundle path as its file URL sees it: no trailing separator.
std::filesystem::path bundlePath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return std::filesystem::path(path);
}

// Runs the script on a thread of its own, then the callbacks.
void runLoadScript(std::shared_ptr<PrivilegedScript> script, std::shared_ptr<OnceCallback> callback,
                   std::shared_ptr<DesktopServices> services, Completion finished) {
  platform::globalQueueAsync([script, callback, services, finished] {
    std::optional<ScriptErrorInfo> errorInfo;
    try {
      errorInfo = script->execute();
    } catch (...) {
      errorInfo = ScriptErrorInfo{{"NSAppleScriptErrorMessage", describeCurrentException()}};
    }
    if (!errorInfo) {
      (*callback)(std::nullopt);
      callGuarded(finished);
      return;
    }
    const auto message = errorInfo->find("NSAppleScriptErrorMessage");
    const bool notApproved =
        message != errorInfo->end() && message->second.find("not approved to load") != std::string::npos;
    // The load is over once both the callback and the alert are.
    const auto parts = std::make_shared<Countdown>(notApproved ? 2 : 1, finished);
    if (notApproved) showNotApprovedAlert(services, [parts] { parts->arrive(); });
    (*callback)(KernelExtensionError::failedToLoadKernelExtension(*errorInfo));
    parts->arrive();
  });
}

}  // namespace

std::string kextLoadShellCommand(const std::string& path) { return "kextload " + shellQuoted(path); }

std::string kextLoadScriptSource(const std::string& path) {
  return "do shell script " + platform::appleScriptString(kextLoadShellCommand(path)) +
         " with administrator privileges";
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

void KernelExtensionCommandDelegate::loadKernelExtension(const std::string& path, ErrorClosure errorClosure,
                                                         Completion finished) {
  using Case = KernelExtensionError::Case;
  auto callback = std::make_shared<OnceCallback>(std::move(errorClosure));
  // The work keeps what it needs, not this object: an adopter that goes away
  // while a load is in flight leaves nothing dangling. For the same reason
  // the not-approved alert is shown directly, not through an override of
  // presentNotApprovedToLoadAlert().
  std::shared_ptr<DesktopServices> services = desktop();
  platform::mainQueueAsync([path, callback, services, finished = std::move(finished)] {
    auto fail = [&](KernelExtensionError error) {
      (*callback)(std::move(error));
      callGuarded(finished);
    };
    const std::filesystem::path bundle = bundlePath(path);
    if (!platform::fileExists(path) || bundle.extension() != ".kext") {
      fail(KernelExtensionError(Case::kernelExtensionNotFound));
      return;
    }
    const std::string name = path.find("macfuse") != std::string::npos ? "macfuse" : bundle.stem().string();
    std::shared_ptr<PrivilegedScript> script;
    try {
      services->runModalAlert(DesktopAlert{"Kernel extension needs loaded",
                                           "The application needs to load the " + name + " kernel extension.",
                                           AlertStyle::critical,
                                           {}});
      script = services->makeScript(kextLoadScriptSource(path));
    } catch (...) {
      fail(KernelExtensionError::failedToLoadKernelExtension({{"error", describeCurrentException()}}));
      return;
    }
    if (!script) {
      fail(KernelExtensionError::failedToLoadKernelExtension({{"error", "failed to create appleScript"}}));
      return;
    }
    runLoadScript(std::move(script), callback, services, finished);
  });
}

void KernelExtensionCommandDelegate::presentNotApprovedToLoadAlert(Completion answered) {
  showNotApprovedAlert(desktop(), std::move(answered));
}

void KernelExtensionCommandDelegate::openPrivacyAndSecuritySettings() {
  desktop()->openURL("file://" + privacyAndSecurityPane);
}

}  // namespace velmora
