// The pieces of the velmora-fsutil front end that every command shares.
// The front end is a thin layer over the library: it parses arguments, calls
// the public API and prints what comes back.
//
// Exit statuses: 0 success, 1 failure, 2 usage error, 128+N when signal N
// ended the command; `run` and `lucid raw` exit with the tool's own status.
// Failures print their text on standard error, or with --json an object
// {"error": {"type", "case", "message", "systemCode", "deviceStatus"}} on
// standard output. Every failure has a type and a case: a library error its
// class and case, a platform error "system_error" and its errno's name (the
// errno in systemCode), a failure of the front end's own "CommandError" and
// what went wrong; anything else, which would be a fault of the program,
// "exception" and "internalError" ("outOfMemory" when memory ran out).
//
// Standard output as coreutils treat it: a write that fails is a failure
// ("write error: ..." on standard error, exit 1). Nothing goes through
// stdio's buffer (--help and --version included), so every write is checked
// where it is made and no flush is left for the end. A pipe
// whose reader has gone ends the command quietly by SIGPIPE (141 in a shell,
// as for `yes | head`), after any tool it runs has been stopped; when SIGPIPE
// was ignored at start, that too is a write error.
//
// Human output shows text from outside (tool output, file contents, paths)
// escaped, so that it can neither forge lines nor drive the terminal:
// escapedForTerminal(). --json keeps exact values; `run` and `raw` pass the
// tool's bytes untouched.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace velmora {
class GenericCLIUtility;
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
// its own type and case names, and the errno behind it where there is one.
class CommandError : public std::runtime_error {
 public:
  CommandError(std::string type, std::string errorCase, const std::string& message, int systemCode = 0)
      : std::runtime_error(message), type_(std::move(type)), case_(std::move(errorCase)), systemCode_(systemCode) {}
  const std::string& type() const noexcept { return type_; }
  const std::string& errorCase() const noexcept { return case_; }
  int systemCode() const noexcept { return systemCode_; }

 private:
  std::string type_;
  std::string case_;
  int systemCode_;
};

// The error object of a failure and the status to exit with.
struct ErrorReport {
  nlohmann::json error;  // {"type", "case", "message", "systemCode", "deviceStatus"}
  int exitStatus = kExitFailure;
};
// Describes the exception in flight (call from a catch block).
ErrorReport describeCurrentException();
// Prints the report: its message on standard error, or with `json` the
// object {"error": ...} on standard output.
void printError(const ErrorReport& report, bool json);
// Runs `command` of a stream of one compact JSON object a line (perf,
// watch): with `json`, its failure is one compact line too, so that a reader
// that takes the stream line by line reads the end as well. A write error
// of standard output passes through.
int reportingOnOneLine(bool json, const std::function<int()>& command);

// Standard output could not be written: a full device, a closed
// descriptor, a broken pipe (EPIPE).
class WriteError : public std::system_error {
 public:
  using std::system_error::system_error;
};

// Writes text exactly as given (no line feed added) to standard output.
// Throws WriteError when it cannot be written.
void printRaw(std::string_view text);
// Writes one JSON value, indented by two spaces, and a line feed.
void printJson(const nlohmann::json& value);
void printOrderedJson(const nlohmann::ordered_json& value);  // keys in insertion order

// `text` as it may be shown on a terminal: a backslash doubled; line feed,
// tab and carriage return as \n, \t, \r; other C0 controls and DEL as
// \xHH; C1 controls (U+0080 to U+009F) as \u00HH; a byte that is not
// UTF-8 as \xHH. Printable text, non-ASCII included, is unchanged.
std::string escapedForTerminal(std::string_view text);
bool isUtf8(std::string_view bytes);
// Standard base64 (RFC 4648), padded.
std::string base64(std::string_view bytes);

// {"exitStatus": the status a shell reports, "signal": the signal or null}.
nlohmann::json exitStatusJson(const CLIExitStatus& status);

// Runs `command`, whose tools run through `tool`, with the stop signals
// passed on: SIGINT, SIGTERM or SIGHUP goes to the running tool itself
// (SIGKILL 3 seconds later), no tool starts after it, and once the tool is
// gone the status is 128+N. For the commands that run a tool once.
int passingStopsOn(GenericCLIUtility& tool, const std::function<int()>& command);

// `run` and `lucid raw`: runs `tool` with `command` then `args`, passes its
// output to standard output as it comes (with --json, `result` plus
// "output", or "outputBase64" when the bytes are not UTF-8, and the exit
// status), and returns the tool's status; stop signals as passingStopsOn.
int passThrough(GenericCLIUtility& tool, const std::vector<std::string>& command, const std::vector<std::string>& args,
                const Options& options, nlohmann::json result);

// A table whose columns line up on a terminal: each as wide as its widest
// cell in display columns (wide characters count two, combining marks none),
// two spaces apart, the last one unpadded. Cells are shown escaped.
std::string textTable(std::vector<std::vector<std::string>> rows);

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
