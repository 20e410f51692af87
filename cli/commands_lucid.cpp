#include <memory>

#include "front_end.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::cli {

namespace {

struct LucidOptions {
  std::string tool = kDefaultLucidLaunchPath;
  std::string instance;
};

std::shared_ptr<LucidLinkCLIUtility> makeClient(const LucidOptions& lucid) {
  if (lucid.instance.empty()) return std::make_shared<LucidLinkCLIUtility>(lucid.tool);
  return std::make_shared<LucidLinkCLIUtility>(lucid.tool,
                                               LucidFileSpaceInfo{lucid.instance, "", "", ""});
}

}  // namespace

void addLucidCommands(CLI::App& app, const Options& options, Action& action) {
  auto lucid = std::make_shared<LucidOptions>();
  auto* group = app.add_subcommand("lucid", "Talk to the LucidLink command-line tool");
  group->add_option("--tool", lucid->tool, "Path of the LucidLink tool")->capture_default_str();
  group->add_option("--instance", lucid->instance, "Instance identifier to address");
  group->require_subcommand(1);

  auto* raw = group->add_subcommand("raw", "Run any command through the instance client");
  raw->prefix_command();
  raw->footer("Usage: velmora-fsutil [--json] lucid [--tool PATH] [--instance ID] raw WORD...");
  raw->callback([raw, lucid, &options, &action] {
    auto words = raw->remaining();
    action = [words, lucid, &options]() {
      auto client = makeClient(*lucid);
      const std::string output = client->runInstanceSpecificCommand(words);
      if (options.json) {
        printJson({{"instanceID", client->instanceID() ? nlohmann::json(*client->instanceID())
                                                       : nlohmann::json(nullptr)},
                   {"output", output}});
      } else {
        printRaw(output);
      }
      return 0;
    };
  });
}

}  // namespace velmora::cli
