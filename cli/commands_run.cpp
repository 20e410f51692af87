#include "command_table.hpp"
#include "front_end.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora::cli {

nlohmann::json exitStatusJson(const CLIExitStatus& status) {
  return {{"exitStatus", status.shellStatus()}, {"signal", status.signaled ? nlohmann::json(status.code) : nullptr}};
}

void addRunCommand(CLI::App& app, const Options& options, Action& action) {
  auto* run = app.add_subcommand("run", "Run any tool, print its standard output exactly and exit with its status");
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
      const GenericCLIUtility tool(words.front());
      const CLIRunResult result = tool.runWithExitStatus({words.begin() + 1, words.end()});
      if (options.json) {
        nlohmann::json out = {{"launchPath", tool.launchPath()}, {"output", result.output}};
        out.update(exitStatusJson(result.exitStatus));
        printJson(out);
      } else {
        printRaw(result.output);
      }
      return result.exitStatus.shellStatus();
    };
  });
}

}  // namespace velmora::cli
