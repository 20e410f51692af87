// Failures as the front end reports them: a type, a case and the error's
// text, and the exit status that goes with them.
#include <cstdio>
#include <iostream>
#include <new>
#include <system_error>

#include "front_end.hpp"
#include "velmora/error.hpp"

namespace velmora::cli {

namespace {

using nlohmann::json;

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
      {std::errc::timed_out, "ETIMEDOUT"},              {std::errc::operation_canceled, "ECANCELED"},
      {std::errc::no_message_available, "ENODATA"},     {std::errc::bad_file_descriptor, "EBADF"},
      {std::errc::no_such_device, "ENODEV"},            {std::errc::no_such_device_or_address, "ENXIO"},
      {std::errc::device_or_resource_busy, "EBUSY"},    {std::errc::file_too_large, "EFBIG"},
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

// One shape for every failure; what does not apply is null.
json errorObject(std::string_view type, const json& errorCase, std::string_view message,
                 const json& systemCode = nullptr, const json& deviceStatus = nullptr) {
  return {{"type", type},
          {"case", errorCase},
          {"message", message},
          {"systemCode", systemCode},
          {"deviceStatus", deviceStatus}};
}

}  // namespace

ErrorReport describeCurrentException() {
  try {
    throw;
  } catch (const CLI::ParseError& e) {
    return {errorObject("UsageError", usageCase(e), e.what()), kExitUsage};
  } catch (const CommandError& e) {
    return {errorObject(e.type(), e.errorCase(), e.what(), e.systemCode() ? json(e.systemCode()) : json())};
  } catch (const Error& e) {
    return {errorObject(e.typeName(), e.caseName(), e.what(), e.systemCode() ? json(e.systemCode()) : json(),
                        e.deviceStatus().empty() ? json() : json(e.deviceStatus()))};
  } catch (const std::system_error& e) {
    return {errorObject("system_error", errnoName(e.code()), e.what(), e.code().value())};
  } catch (const std::bad_alloc& e) {
    return {errorObject("exception", "outOfMemory", e.what())};
  } catch (const std::exception& e) {
    // The commands report their own failures above; what reaches here is a
    // fault of the program, still with a case for a script to test.
    return {errorObject("exception", "internalError", e.what())};
  } catch (...) {
    return {errorObject("exception", "internalError", "An unknown error occurred")};
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

int reportingOnOneLine(bool json, const std::function<int()>& command) {
  if (!json) return command();
  try {
    return command();
  } catch (const WriteError&) {
    throw;
  } catch (...) {
    const ErrorReport report = describeCurrentException();
    printRaw(nlohmann::json{{"error", report.error}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
    return report.exitStatus;
  }
}

}  // namespace velmora::cli
