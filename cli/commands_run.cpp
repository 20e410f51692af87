#include "front_end.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora::cli {

void addRunCommand(CLI::App& app, const Options& options, Action& action) {
  auto* run = app.add_subcommand("run", "Run any tool and print its standard output exactly");
  // Everything after `run` belongs to the tool, dashes and empty words included.
  run->prefix_command();
  run->footer("Usage: velmora-fsutil [--json] run TOOL [ARG...]");
  run->callback([run, &options, &action] {
    auto words = run->remaining();
    if (words.empty()) throw CLI::ValidationError("run", "TOOL is required");
    action = [words, &options]() {
      const GenericCLIUtility tool(words.front());
      const std::string output = tool.run({words.begin() + 1, words.end()});
      if (options.json) {
        printJson({{"launchPath", tool.launchPath()}, {"output", output}});
      } else {
        printRaw(output);
      }
      return 0;
    };
  });
}

}  // namespace velmora::cli
