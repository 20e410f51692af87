#include <filesystem>

#include "platform/file_system.hpp"
#include "platform/property_list.hpp"
#include "velmora/kext/kernel_extension.hpp"

namespace velmora {

namespace {

std::string describeCase(KernelExtensionError::Case errorCase, const ScriptErrorInfo& errorDict) {
  using Case = KernelExtensionError::Case;
  switch (errorCase) {
    case Case::failedToLoadKernelExtension: return "failed to load extension `" + describeScriptErrorInfo(errorDict) + "`";
    case Case::kernelExtensionNotFound: return "kernel extension not found";
    case Case::plistNotFound: return "Info.plist not found";
    case Case::versionPlistNotFound: return "version.plist not found";
    case Case::unableToParsePlist: return "unable to parse plist";
    case Case::bundleIDNotFound: return "bundle id not found";
    case Case::failedToFindVersionInfo: return "version info not found";
  }
  return "kernel extension error";
}

}  // namespace

std::string describeScriptErrorInfo(const ScriptErrorInfo& dictionary) {
  std::string text = "{";
  for (const auto& [key, value] : dictionary) {
    if (text.size() > 1) text += ", ";
    text += key + ": \"" + value + "\"";
  }
  return text + "}";
}

KernelExtensionError::KernelExtensionError(Case errorCase, ScriptErrorInfo errorDict)
    : Error(describeCase(errorCase, errorDict)), case_(errorCase), errorDict_(std::move(errorDict)) {}

const char* KernelExtensionError::caseName() const noexcept {
  switch (case_) {
    case Case::failedToLoadKernelExtension: return "failedToLoadKernelExtension";
    case Case::kernelExtensionNotFound: return "kernelExtensionNotFound";
    case Case::plistNotFound: return "plistNotFound";
    case Case::versionPlistNotFound: return "versionPlistNotFound";
    case Case::unableToParsePlist: return "unableToParsePlist";
    case Case::bundleIDNotFound: return "bundleIDNotFound";
    case Case::failedToFindVersionInfo: return "failedToFindVersionInfo";
  }
  return "unknown";
}

KernelExtensionInfo KernelExtensionInfoFactory::kernelExtensionInfo(const std::string& path) {
  using Case = KernelExtensionError::Case;
  if (!platform::fileExists(path)) throw KernelExtensionError(Case::kernelExtensionNotFound);

  const std::filesystem::path bundle(path);
  const auto dictionary = platform::readPropertyListDictionary((bundle / "Contents" / "Info.plist").string());
  if (!dictionary) throw KernelExtensionError(Case::unableToParsePlist);

  auto text = [&dictionary](const char* key) -> std::optional<std::string> {
    const auto found = dictionary->find(key);
    return found == dictionary->end() ? std::nullopt : found->second;
  };
  // The bundle's file name without its extension ("macfuse.fs" gives "macfuse").
  std::string name = text("CFBundleName").value_or(bundle.filename().empty() ? bundle.parent_path().stem().string()
                                                                             : bundle.stem().string());
  const auto version = text("CFBundleShortVersionString") ? text("CFBundleShortVersionString") : text("CFBundleVersion");
  if (!version) throw KernelExtensionError(Case::versionPlistNotFound);
  const auto identifier = text("CFBundleIdentifier");
  if (!identifier) throw KernelExtensionError(Case::bundleIDNotFound);
  return KernelExtensionInfo{*identifier, path, std::move(name), *version};
}

}  // namespace velmora
