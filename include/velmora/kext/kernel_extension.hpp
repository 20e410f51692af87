/// @file
/// Kernel extensions: describing a bundle from its Info.plist, and loading an
/// extension with administrator rights.
///
/// Failures are KernelExtensionError values: thrown by the describing calls,
/// handed to the load's callback. The alerts and the privileged script go
/// through the desktop services (velmora/desktop.hpp).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velmora/desktop.hpp"
#include "velmora/error.hpp"

namespace velmora {

/// What a bundle's Info.plist says of it.
struct KernelExtensionInfo {
  std::string extensionID;        // CFBundleIdentifier
  std::string extensionFilePath;  // the path given, unchanged
  std::string name;               // CFBundleName, else the bundle's file name without extension
  std::string versionString;      // CFBundleShortVersionString, else CFBundleVersion
  /// Equal when every field is.
  friend bool operator==(const KernelExtensionInfo&, const KernelExtensionInfo&) = default;
};

/// A failure to describe or load a kernel extension.
class KernelExtensionError : public Error {
 public:
  /// The kernel-extension failures.
  enum class Case {
    failedToLoadKernelExtension,  // payload: the script runner's error information
    kernelExtensionNotFound,  // no file at the path
    plistNotFound,  // raised nowhere in this library
    versionPlistNotFound,  // Info.plist has no version string
    unableToParsePlist,  // Info.plist is unreadable, malformed or not a dictionary
    bundleIDNotFound,  // Info.plist has no CFBundleIdentifier
    failedToFindVersionInfo,  // raised nowhere in this library
  };

  /// The failure of `errorCase`; `errorDict` is the payload of
  /// failedToLoadKernelExtension, and part of its text.
  explicit KernelExtensionError(Case errorCase, ScriptErrorInfo errorDict = {});
  /// The failedToLoadKernelExtension failure.
  static KernelExtensionError failedToLoadKernelExtension(ScriptErrorInfo errorDict) {
    return KernelExtensionError(Case::failedToLoadKernelExtension, std::move(errorDict));
  }

  /// Which failure this is.
  Case errorCase() const noexcept { return case_; }
  const char* typeName() const noexcept override { return "KernelExtensionError"; }
  const char* caseName() const noexcept override;
  /// The payload of failedToLoadKernelExtension; empty for the other cases.
  const ScriptErrorInfo& errorDict() const noexcept { return errorDict_; }

  /// Equal when the cases and the payloads are.
  friend bool operator==(const KernelExtensionError& a, const KernelExtensionError& b) {
    return a.case_ == b.case_ && a.errorDict_ == b.errorDict_;
  }

 private:
  Case case_;
  ScriptErrorInfo errorDict_;
};

/// A readable rendering of a dictionary, keys in sorted order:
/// {key: "value", ...}.
std::string describeScriptErrorInfo(const ScriptErrorInfo& dictionary);

/// Describes kernel extensions from their bundles.
struct KernelExtensionInfoFactory {
  /// Reads `path`/Contents/Info.plist (XML or binary, at most a few MiB).
  /// Throws KernelExtensionError: kernelExtensionNotFound, unableToParsePlist
  /// (also for a file that cannot be read, and for a string or key holding
  /// U+0000), versionPlistNotFound (checked before) or bundleIDNotFound.
  /// @throws KernelExtensionError in the cases above.
  static KernelExtensionInfo kernelExtensionInfo(const std::string& path);
};

/// The shell command and the script source that load the extension at
/// `path`. The path reaches the shell as exactly one argument, whatever it
/// holds: quoted for the shell, then escaped for the AppleScript literal.
///@{
std::string kextLoadShellCommand(const std::string& path);
std::string kextLoadScriptSource(const std::string& path);
///@}

/// What an application object derives from to load and describe kernel
/// extensions. Everything is provided.
class KernelExtensionCommandDelegate {
 public:
  /// Told how a load ended: the failure, or nothing on success.
  using ErrorClosure = std::function<void(std::optional<KernelExtensionError>)>;
  /// Told that something has finished.
  using Completion = std::function<void()>;

  /// Uses the desktop services in force (desktopServices()) unless given others.
  explicit KernelExtensionCommandDelegate(std::shared_ptr<DesktopServices> desktop = nullptr);
  virtual ~KernelExtensionCommandDelegate() = default;

  ///@{
  /// The macFUSE extensions' identifiers, and the folders and pane the flows use.
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
  ///@}

  /// The last non-empty piece of the identifier between dots; absent when there is none.
  virtual std::optional<std::string> expectedExtensionName(const std::string& extensionID) const;

  ///@{
  /// KernelExtensionInfoFactory::kernelExtensionInfo(), for a kernel or a
  /// file-system extension alike.
  /// @throws KernelExtensionError as that does.
  virtual KernelExtensionInfo kernelExtensionInfo(const std::string& path) const;
  virtual KernelExtensionInfo fileSystemExtensionInfo(const std::string& path) const;
  ///@}

  /// Returns at once. On the main queue: checks that `path` exists and ends in
  /// ".kext", shows the load notice, makes the privileged script; the script
  /// then runs on a thread of its own. `errorClosure` is called exactly once,
  /// on the main queue or on the script's thread, with nothing on success.
  /// A failure saying that the extension is not approved to load also shows
  /// the not-approved alert, which `errorClosure` does not wait for.
  ///
  /// `finished`, if given, is called exactly once, after `errorClosure` has
  /// returned and after that alert (if shown) has been answered and acted
  /// on: nothing of the load runs afterwards. A callback that throws is
  /// reported through the warning sink (velmora/diagnostics.hpp). The load
  /// keeps the desktop services, the path and the callbacks, not this
  /// object, which may be destroyed meanwhile.
  virtual void loadKernelExtension(const std::string& path, ErrorClosure errorClosure, Completion finished = {});

  /// Returns at once; shows the not-approved alert on the main queue and, on
  /// "Open System Settings", opens the Privacy & Security pane. `answered`,
  /// if given, is called once on the main queue after that.
  virtual void presentNotApprovedToLoadAlert(Completion answered = {});

  /// Opens the Privacy & Security pane, on the calling thread.
  virtual void openPrivacyAndSecuritySettings();

 protected:
  /// The services given at construction, else those in force now.
  std::shared_ptr<DesktopServices> desktop() const;

 private:
  std::shared_ptr<DesktopServices> desktop_;
};

}  // namespace velmora
