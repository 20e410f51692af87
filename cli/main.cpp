// velmora-fsutil: the command-line front end of VelmoraFileSystemUtilities.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "command_table.hpp"
#include "front_end.hpp"
#include "terminal/terminal.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"
#include "velmora/main_queue.hpp"
#include "velmora/version.hpp"

namespace velmora::cli {

namespace {

constexpr const char* kExitStatuses =
    "Exit status: 0 success, 1 failure, 2 usage error, 128+N ended by signal N (130 for Ctrl-C);\n"
    "`run` and `lucid raw` exit with the tool's own status (128+N when signal N ended it).\n"
    "run, raw and the other one-shot lucid commands pass Ctrl-C, SIGTERM and SIGHUP on to their tool,\n"
    "then exit 128+N once it is gone.\n"
    "A failed write to standard output is a failure (\"write error: ...\"); a closed pipe ends\n"
    "the command quietly by SIGPIPE, as for other tools.\n"
    "With --json, a failure prints {\"error\": {\"type\", \"case\", \"message\"}} on standard output.";

// Whether --json is among the words that belong to velmora-fsutil, for a
// usage error found before the parser reached it. The words after `run` and
// `raw` belong to the tool they run.
bool jsonRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--" || word == "run" || word == "raw") return false;
    if (word == "--json") return true;
  }
  return false;
}

// Edit distance with adjacent transpositions, so that "lsit" is one edit from "list".
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// For a word that is no command of the innermost command group chosen: the
// usage error that names it and the nearest command, if one is near.
std::optional<std::string> unknownCommandMessage(CLI::App& app) {
  CLI::App* group = &app;
  while (!group->get_subcommands().empty()) group = group->get_subcommands().front();
  const auto commands = group->get_subcommands([](const CLI::App* command) { return !command->get_name().empty(); });
  if (commands.empty()) return std::nullopt;
  // A word no command group takes falls through to the top.
  std::vector<std::string> leftover = group->remaining();
  if (leftover.empty()) leftover = app.remaining();
  const auto word = std::find_if(leftover.begin(), leftover.end(), [](const std::string& w) { return w.rfind('-', 0) != 0; });
  if (word == leftover.end()) return std::nullopt;

  const std::string where = group == &app ? std::string("velmora-fsutil") : group->get_name();
  std::string message = "Unknown command '" + *word + "' for '" + where + "'.";
  std::string nearest;
  std::size_t best = 3;  // more edits than this suggest nothing
  for (const CLI::App* command : commands) {
    const std::string& name = command->get_name();
    const std::size_t distance = name.rfind(*word, 0) == 0 ? 1 : editDistance(*word, name);
    if (distance < best) best = distance, nearest = name;
  }
  if (!nearest.empty()) message += " Did you mean '" + nearest + "'?";
  return message;
}

// Call from the catch block of a usage error.
int reportUsageError(CLI::App& app, bool json) {
  ErrorReport report = describeCurrentException();
  if (const auto unknown = unknownCommandMessage(app)) {
    report.error["case"] = "unknownCommand";
    report.error["message"] = *unknown;
  }
  printError(report, json);
  return report.exitStatus;
}

}  // namespace

}  // namespace velmora::cli

int main(int argc, char** argv) {
  using namespace velmora::cli;

  // Before anything opens a file that could take a closed one's number.
  velmora::platform::guardStandardDescriptors();
  const bool brokenPipeEndsQuietly = velmora::platform::catchBrokenPipe();
  // Standard output carries only each command's result, also with --json.
  velmora::setWarningSink([](std::string_view line) { std::cerr << escapedForTerminal(line) << '\n'; });
  // No run loop serves a main dispatch queue here (the default on macOS):
  // `lucid watch` and `kext load` get their notifications on a library thread.
  velmora::setMainQueueExecutor(velmora::libraryThreadExecutor());

  CLI::App app{"velmora-fsutil: drive outside file-system tools and look at the machine's storage", "velmora-fsutil"};
  app.set_version_flag("--version", "velmora-fsutil " VELMORA_FSUTILS_VERSION);
  app.require_subcommand(1);
  app.footer(kExitStatuses);
  // Options of a parent, the global ones above all, are taken after a
  // command's own words too (`lucid list --json`).
  app.fallthrough();
  Options options;
  options.tool = velmora::kDefaultLucidLaunchPath;
  app.add_flag("--json", options.json, "Print machine-readable JSON");
  app.add_option("--tool", options.tool, "Path of the LucidLink tool (lucid commands)")
      ->capture_default_str()
      ->type_name("PATH");
  // An empty word (`--instance "$ID"` with ID unset) would address the
  // default instance instead, and change its settings: refused.
  app.add_option("--instance", options.instance, "LucidLink instance identifier to address (lucid commands)")
      ->type_name("ID")
      ->check(CLI::Validator(
          [](const std::string& id) {
            return id.empty() ? std::string("expected an instance identifier, got an empty word") : std::string();
          },
          "", "non-empty"));
  app.add_option("--desktop-tools", options.desktopTools,
                 "Use osascript and open from this folder for alerts, scripts and settings (kext, settings)")
      ->type_name("DIR");

  Action action;
  addRunCommand(app, options, action);
  addLucidCommands(app, options, action);
  addZipCommand(app, options, action);
  addKextCommands(app, options, action);
  addSettingsCommands(app, options, action);
  addSmartCommands(app, options, action);
  addServeCommand(app, options, action);
  addGenerateOption(app);

  const auto command = [&]() -> int {
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      if (e.get_exit_code() == 0) {  // --help, --version: through the checked writes
        std::ostringstream text;
        const int status = app.exit(e, text, std::cerr);
        printRaw(text.str());
        return status;
      }
      return reportUsageError(app, options.json || jsonRequested(argc, argv));
    }
    try {
      return action ? action() : kExitSuccess;
    } catch (const WriteError&) {
      throw;
    } catch (...) {
      const ErrorReport report = describeCurrentException();
      printError(report, options.json);
      return report.exitStatus;
    }
  };
  try {
    return command();
  } catch (const WriteError& error) {
    if (error.code() == std::errc::broken_pipe && brokenPipeEndsQuietly) velmora::platform::endByBrokenPipe();
    std::cerr << error.what() << '\n';
    return kExitFailure;
  }
}
