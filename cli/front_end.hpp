// The pieces of the velmora-fsutil front end that every command shares.
// The front end is a thin layer over the library: it parses arguments, calls
// the public API and prints what comes back.
//
// Exit statuses: 0 success, 1 failure, 2 usage error, 128+N when signal N
// ended the command; `run` and `lucid raw` exit with the tool's own status.
// Failures print their text on standard error, or with --json an object
// {"error": {"type", "case", "message"}} on standard output.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace velmora {
class LucidLinkCLIUtility;
struct CLIExitStatus;
}

namespace velmora::cli {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// The status of a command that signal `signal` ended.
inline constexpr int exitForSignal(int signal) { return 128 + signal; }

// The global options, accepted before and after the command.
struct Options {
  bool json = false;         // --json: machine-readable output
  std::string tool;          // --tool: the LucidLink tool's path
  std::string instance;      // --instance: the instance to address
  std::string desktopTools;  // --desktop-tools: osascript and open from this folder
};

// Makes a serial thread of the front end's own the library's main queue.
void installMainQueue();

// Adds each command group to the application. Parsing stores the chosen
// command in `action`, which returns the exit status.
using Action = std::function<int()>;
void addRunCommand(CLI::App& app, const Options& options, Action& action);
void addLucidCommands(CLI::App& app, const Options& options, Action& action);
void addZipCommand(CLI::App& app, const Options& options, Action& action);
void addKextCommands(CLI::App& app, const Options& options, Action& action);
void addSettingsCommands(CLI::App& app, const Options& options, Action& action);
void addSmartCommands(CLI::App& app, const Options& options, Action& action);
// The Prometheus exporter; where prometheus-cpp was missing at build time, a
// command that says so.
void addServeCommand(CLI::App& app, const Options& options, Action& action);

// Commands of the "lucid" group; `makeClient` gives the client that the
// global options (--tool, --instance) describe.
using ClientFactory = std::function<std::shared_ptr<LucidLinkCLIUtility>()>;
void addConfigCommands(CLI::App& lucid, ClientFactory makeClient, const Options& options, Action& action);
void addPerfCommand(CLI::App& lucid, ClientFactory makeClient, const Options& options, Action& action);

// A failure of a command that is no library error: reported like one, with
// its own type and case names.
class CommandError : public std::runtime_error {
 public:
  CommandError(std::string type, std::string errorCase, const std::string& message)
      : std::runtime_error(message), type_(std::move(type)), case_(std::move(errorCase)) {}
  const std::string& type() const noexcept { return type_; }
  const std::string& errorCase() const noexcept { return case_; }

 private:
  std::string type_;
  std::string case_;
};

// The error object of a failure and the status to exit with.
struct ErrorReport {
  nlohmann::json error;  // {"type", "case", "message"}
  int exitStatus = kExitFailure;
};
// Describes the exception in flight (call from a catch block).
ErrorReport describeCurrentException();
// Prints the report: its message on standard error, or with `json` the
// object {"error": ...} on standard output.
void printError(const ErrorReport& report, bool json);

// Writes text exactly as given (no line feed added).
void printRaw(std::string_view text);
// Writes one JSON value, indented by two spaces, and a line feed.
void printJson(const nlohmann::json& value);
void printOrderedJson(const nlohmann::ordered_json& value);  // keys in insertion order

// {"exitStatus": the status a shell reports, "signal": the signal or null}.
nlohmann::json exitStatusJson(const CLIExitStatus& status);

// A table whose columns line up on a terminal: each as wide as its widest
// cell in display columns (wide characters count two, combining marks none),
// two spaces apart, the last one unpadded.
std::string textTable(const std::vector<std::vector<std::string>>& rows);

// An absent optional is JSON null.
template <typename T>
nlohmann::json optionalJson(const std::optional<T>& value) {
  if (!value) return nullptr;
  if constexpr (std::is_same_v<T, std::filesystem::path>) {
    return value->string();
  } else {
    return *value;
  }
}

}  // namespace velmora::cli
