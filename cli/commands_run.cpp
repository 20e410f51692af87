// run TOOL [ARG...], and the pass-through it shares with `lucid raw`.
#include <functional>

#include "command_table.hpp"
#include "front_end.hpp"
#include "terminal/terminal.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora::cli {

nlohmann::json exitStatusJson(const CLIExitStatus& status) {
  return {{"exitStatus", status.shellStatus()}, {"signal", status.signaled ? nlohmann::json(status.code) : nullptr}};
}

int passingStopsOn(GenericCLIUtility& tool, const std::function<int()>& command) {
  auto control = std::make_shared<CLIRunControl>();
  tool.setRunControl(control);
  // Set up before the command starts any thread. The tool gets the signal
  // itself, as `timeout` passes it on.
  platform::StopSignals stopSignals([control](int signal) { control->signal(signal); });
  const auto stopSignal = [&stopSignals] {
    stopSignals.wake();
    return stopSignals.wait();
  };
  try {
    const int status = command();
    if (const int signal = stopSignal()) return exitForSignal(signal);
    return status;
  } catch (...) {
    // Stopped before the tool started, or what the stopped tool said did not parse.
    if (const int signal = stopSignal()) return exitForSignal(signal);
    throw;
  }
}

int passThrough(GenericCLIUtility& tool, const std::vector<std::string>& command, const std::vector<std::string>& args,
                const Options& options, nlohmann::json result) {
  return passingStopsOn(tool, [&] {
    std::string output;  // --json only: the whole output goes into one object
    const CLIExitStatus status = tool.runStreaming(command, args, [&](std::string_view bytes) {
      if (options.json) {
        output.append(bytes);
      } else {
        printRaw(bytes);
      }
    });
    if (options.json && tool.runControl()->signalSent() == 0) {  // a stopped command has no result
      // Exactly one of the two is a string: bytes that are not UTF-8 travel as base64.
      const bool text = isUtf8(output);
      result["output"] = text ? nlohmann::json(output) : nlohmann::json(nullptr);
      result["outputBase64"] = text ? nlohmann::json(nullptr) : nlohmann::json(base64(output));
      result.update(exitStatusJson(status));
      printJson(result);
    }
    return status.shellStatus();
  });
}

void addRunCommand(CLI::App& app, const Options& options, Action& action) {
  auto* run = app.add_subcommand("run", "Run any tool, pass its standard output through as it comes and exit with its status");
  // Everything after `run` belongs to the tool, dashes and empty words included.
  run->prefix_command();
  run->fallthrough(false);
  offerCommandLine(run);
  run->footer("Usage: velmora-fsutil [--json] run TOOL [ARG...]\n"
              "Exit status: the tool's own (128+N when signal N ended it); 1 when it cannot be started, "
              "2 without TOOL.");
  run->callback([run, &options, &action] {
    auto words = run->remaining();
    if (words.empty()) throw CLI::RequiredError("TOOL");
    action = [words, &options]() {
      GenericCLIUtility tool(words.front());
      return passThrough(tool, {words.begin() + 1, words.end()}, {}, options, {{"launchPath", tool.launchPath()}});
    };
  });
}

}  // namespace velmora::cli
