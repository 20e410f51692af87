// Failures as the front end reports them: a type, a case and the error's
// text, and the exit status that goes with them.
#include <cstdio>
#include <iostream>
#include <system_error>

#include "front_end.hpp"
#include "velmora/kext/kernel_extension.hpp"
#include "velmora/lucidlink/lucid_link_cli_error.hpp"
#include "velmora/runner/cli_utility_error.hpp"
#include "velmora/smart/smart_reader.hpp"

namespace velmora::cli {

namespace {

using nlohmann::json;

const char* caseName(CLIUtilityError::Case c) {
  using Case = CLIUtilityError::Case;
  switch (c) {
    case Case::launchPathNotFound: return "launchPathNotFound";
    case Case::failedToReadPipeData: return "failedToReadPipeData";
    case Case::failedToParseOutputData: return "failedToParseOutputData";
  }
  return "unknown";
}

const char* caseName(LucidLinkCLIError::Case c) {
  using Case = LucidLinkCLIError::Case;
  switch (c) {
    case Case::failedToSetOrDeleteConfig: return "failedToSetOrDeleteConfig";
    case Case::lucidNotRunning: return "lucidNotRunning";
    case Case::failedToConvertOutputToDictionary: return "failedToConvertOutputToDictionary";
    case Case::failedToFindCompatibleInstanceID: return "failedToFindCompatibleInstanceID";
    case Case::invalidOutput: return "invalidOutput";
  }
  return "unknown";
}

const char* caseName(SMARTError::Case c) {
  using Case = SMARTError::Case;
  switch (c) {
    case Case::DADiskError: return "DADiskError";
    case Case::diskNotFound: return "diskNotFound";
    case Case::failedToGetParentEntry: return "failedToGetParentEntry";
    case Case::failedToCreatePluginInterface: return "failedToCreatePluginInterface";
    case Case::failedToQuerySMARTInterface: return "failedToQuerySMARTInterface";
    case Case::failedToReadSMARTData: return "failedToReadSMARTData";
    case Case::failedToReadSMART: return "failedToReadSMART";
    case Case::failedToGetIODisk: return "failedToGetIODisk";
    case Case::diskDoesNotConformToBlockStorageDevice: return "diskDoesNotConformToBlockStorageDevice";
    case Case::diskNotNVMeSMARTCapable: return "diskNotNVMeSMARTCapable";
    case Case::failedToGetSMARTInterface: return "failedToGetSMARTInterface";
    case Case::diskNotATASmartCapable: return "diskNotATASmartCapable";
  }
  return "unknown";
}

const char* caseName(KernelExtensionError::Case c) {
  using Case = KernelExtensionError::Case;
  switch (c) {
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

// The symbolic name of the errno values a tool launch or a file operation
// commonly fails with; others are named by their number.
std::string errnoName(const std::error_code& code) {
  if (code.category() != std::system_category() && code.category() != std::generic_category()) {
    return code.category().name() + std::string(":") + std::to_string(code.value());
  }
  static const std::pair<std::errc, const char*> kNames[] = {
      {std::errc::no_such_file_or_directory, "ENOENT"}, {std::errc::permission_denied, "EACCES"},
      {std::errc::operation_not_permitted, "EPERM"},    {std::errc::executable_format_error, "ENOEXEC"},
      {std::errc::is_a_directory, "EISDIR"},            {std::errc::not_a_directory, "ENOTDIR"},
      {std::errc::not_enough_memory, "ENOMEM"},         {std::errc::resource_unavailable_try_again, "EAGAIN"},
      {std::errc::too_many_files_open, "EMFILE"},       {std::errc::too_many_files_open_in_system, "ENFILE"},
      {std::errc::argument_list_too_long, "E2BIG"},     {std::errc::filename_too_long, "ENAMETOOLONG"},
      {std::errc::too_many_symbolic_link_levels, "ELOOP"}, {std::errc::text_file_busy, "ETXTBSY"},
      {std::errc::io_error, "EIO"},                     {std::errc::no_space_on_device, "ENOSPC"},
      {std::errc::file_exists, "EEXIST"},               {std::errc::read_only_file_system, "EROFS"},
      {std::errc::invalid_argument, "EINVAL"},          {std::errc::broken_pipe, "EPIPE"},
  };
  for (const auto& [errc, name] : kNames) {
    if (code == errc) return name;
  }
  return "errno " + std::to_string(code.value());
}

const char* usageCase(const CLI::ParseError& error) {
  if (dynamic_cast<const CLI::ExtrasError*>(&error)) return "unexpectedArgument";
  if (dynamic_cast<const CLI::RequiredError*>(&error)) return "missingArgument";
  if (dynamic_cast<const CLI::ValidationError*>(&error) || dynamic_cast<const CLI::ConversionError*>(&error)) {
    return "invalidValue";
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) return "wrongArgumentCount";
  if (dynamic_cast<const CLI::ExcludesError*>(&error) || dynamic_cast<const CLI::RequiresError*>(&error)) {
    return "conflictingOptions";
  }
  return "usageError";
}

json errorObject(std::string_view type, const json& errorCase, std::string_view message) {
  return {{"type", type}, {"case", errorCase}, {"message", message}};
}

}  // namespace

ErrorReport describeCurrentException() {
  try {
    throw;
  } catch (const CLI::ParseError& e) {
    return {errorObject("UsageError", usageCase(e), e.what()), kExitUsage};
  } catch (const CommandError& e) {
    return {errorObject(e.type(), e.errorCase(), e.what())};
  } catch (const CLIUtilityError& e) {
    return {errorObject("CLIUtilityError", caseName(e.errorCase()), e.what())};
  } catch (const LucidLinkCLIError& e) {
    return {errorObject("LucidLinkCLIError", caseName(e.errorCase()), e.what())};
  } catch (const SMARTError& e) {
    return {errorObject("SMARTError", caseName(e.errorCase()), e.what())};
  } catch (const KernelExtensionError& e) {
    return {errorObject("KernelExtensionError", caseName(e.errorCase()), e.what())};
  } catch (const std::system_error& e) {
    return {errorObject("system_error", errnoName(e.code()), e.what())};
  } catch (const std::invalid_argument& e) {
    return {errorObject("invalid_argument", nullptr, e.what())};
  } catch (const std::exception& e) {
    return {errorObject("exception", nullptr, e.what())};
  } catch (...) {
    return {errorObject("unknown", nullptr, "An unknown error occurred")};
  }
}

void printError(const ErrorReport& report, bool json) {
  if (json) {
    printJson({{"error", report.error}});
    return;
  }
  std::cerr << escapedForTerminal(report.error.at("message").get<std::string>()) << '\n';
  if (report.exitStatus == kExitUsage) std::cerr << "Run with --help for more information.\n";
}

}  // namespace velmora::cli
