// Kernel extensions: describing a bundle from its Info.plist, and loading the
// macFUSE extension with administrator rights.
//
// Choices made here:
//   - The kernel extension's path goes into a shell command run with
//     administrator rights. It is quoted for the shell (single quotes, an
//     embedded single quote written '\'') and the whole command is then
//     escaped for the AppleScript string literal (backslash and double
//     quote), so the shell always receives the path as exactly one argument.
//     For the fixed install locations the script is
//       do shell script "kextload '/Library/Extensions/macfuse.kext'" with administrator privileges
//   - The failure dictionary's description renders its keys and values as
//     {key: "value", ...}, keys in sorted order.
//   - The "global queue of user-interactive quality of service" is a thread
//     of its own for each script run, ending with the run.
//   - The three operations an adopter must provide are left out: nothing in
//     the library would call them.
//   - A load keeps the desktop services, the path and the callback, not the
//     adopter itself, so an adopter may go away while a load is in flight;
//     the not-approved alert of a load is shown directly, not through an
//     override of presentNotApprovedToLoadAlert().
#pragma once

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/desktop.hpp"

namespace velmora {

struct KernelExtensionInfo {
  std::string extensionID;        // CFBundleIdentifier
  std::string extensionFilePath;  // the path given, unchanged
  std::string name;               // CFBundleName, else the bundle's file name without extension
  std::string versionString;      // CFBundleShortVersionString, else CFBundleVersion
  friend bool operator==(const KernelExtensionInfo&, const KernelExtensionInfo&) = default;
};

class KernelExtensionError : public std::exception {
 public:
  enum class Case {
    failedToLoadKernelExtension,  // payload: the script runner's error information
    kernelExtensionNotFound,
    plistNotFound,  // raised nowhere in this library
    versionPlistNotFound,
    unableToParsePlist,
    bundleIDNotFound,
    failedToFindVersionInfo,  // raised nowhere in this library
  };

  explicit KernelExtensionError(Case errorCase, ScriptErrorInfo errorDict = {});
  static KernelExtensionError failedToLoadKernelExtension(ScriptErrorInfo errorDict) {
    return KernelExtensionError(Case::failedToLoadKernelExtension, std::move(errorDict));
  }

  Case errorCase() const noexcept { return case_; }
  const ScriptErrorInfo& errorDict() const noexcept { return errorDict_; }
  std::string errorDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  friend bool operator==(const KernelExtensionError& a, const KernelExtensionError& b) {
    return a.case_ == b.case_ && a.errorDict_ == b.errorDict_;
  }

 private:
  Case case_;
  ScriptErrorInfo errorDict_;
  std::string description_;
};

// A readable rendering of a dictionary: {key: "value", ...}.
std::string describe(const ScriptErrorInfo& dictionary);

struct KernelExtensionInfoFactory {
  // Reads `path`/Contents/Info.plist (XML or binary). Throws
  // KernelExtensionError: kernelExtensionNotFound, unableToParsePlist,
  // versionPlistNotFound (checked before) or bundleIDNotFound.
  static KernelExtensionInfo kernelExtensionInfo(const std::string& path);
};

// The shell command and the script source that load the extension at `path`.
std::string kextLoadShellCommand(const std::string& path);
std::string kextLoadScriptSource(const std::string& path);

// What an application object derives from to load and describe kernel
// extensions. Everything is provided.
class KernelExtensionCommandDelegate {
 public:
  using ErrorClosure = std::function<void(std::optional<KernelExtensionError>)>;

  // Uses the desktop services in force (desktopServices()) unless given others.
  explicit KernelExtensionCommandDelegate(std::shared_ptr<DesktopServices> desktop = nullptr);
  virtual ~KernelExtensionCommandDelegate() = default;

  static inline const std::string macFuseKextID = "io.macfuse.filesystems.macfuse";
  static inline const std::string secondaryMacFuseKextID_21 = "io.macfuse.filesystems.macfuse.21";
  static inline const std::string secondaryMacFuseKextID_23 = "io.macfuse.filesystems.macfuse.23";
  static inline const std::vector<std::string> allMacFuseVersionKextIDs = {macFuseKextID, secondaryMacFuseKextID_21,
                                                                        secondaryMacFuseKextID_23};
  static inline const std::string macFuseFSExtensionInstallLocation = "/Library/Filesystems/macfuse.fs";
  static inline const std::string normalKernelExtensionsFolder = "/Library/Extensions";
  static inline const std::string expectedDriverKernelExtensionsFolder = "/Library/Extensions";
  static inline const std::string filesystemExtensionsFolder = "/Library/Filesystems";
  static inline const std::string privacyAndSecurityPane = "/System/Library/PreferencePanes/security.prefPane";

  // The last non-empty piece of the identifier between dots; absent when there is none.
  virtual std::optional<std::string> expectedExtensionName(const std::string& extensionID) const;

  virtual KernelExtensionInfo kernelExtensionInfo(const std::string& path) const;
  virtual KernelExtensionInfo fileSystemExtensionInfo(const std::string& path) const;

  // Returns at once. On the main queue: checks that `path` exists and ends in
  // ".kext", shows the load notice, makes the privileged script; the script
  // then runs on a thread of its own. `errorClosure` is called exactly once,
  // on the main queue or on the script's thread, with nothing on success.
  virtual void loadKernelExtension(const std::string& path, ErrorClosure errorClosure);

  // Returns at once; shows the not-approved alert on the main queue and, on
  // "Open System Settings", opens the Privacy & Security pane.
  virtual void presentNotApprovedToLoadAlert();

  // Opens the Privacy & Security pane, on the calling thread.
  virtual void openPrivacyAndSecuritySettings();

 protected:
  // The services given at construction, else those in force now.
  std::shared_ptr<DesktopServices> desktop() const;

 private:
  std::shared_ptr<DesktopServices> desktop_;
};

}  // namespace velmora
