// velmora-fsutil: the command-line front end of VelmoraFileSystemUtilities.
#include <cstdio>
#include <exception>
#include <iostream>
#include <system_error>

#include "front_end.hpp"
#include "velmora/diagnostics.hpp"

namespace velmora::cli {

void printRaw(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void printJson(const nlohmann::json& value) {
  const std::string text = value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  printRaw(text);
}

}  // namespace velmora::cli

int main(int argc, char** argv) {
  using namespace velmora::cli;

  CLI::App app{"velmora-fsutil: drive outside file-system tools and look at the machine's storage"};
  app.set_version_flag("--version", "velmora-fsutil " VELMORA_VERSION);
  app.require_subcommand(1);
  Options options;
  app.add_flag("--json", options.json, "Print machine-readable JSON");

  Action action;
  addRunCommand(app, options, action);
  addLucidCommands(app, options, action);
  addZipCommand(app, options, action);
  addKextCommands(app, options, action);
  addSettingsCommands(app, options, action);
  addSmartCommands(app, options, action);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }

  // Warning lines go to standard error, so that --json output stays valid JSON.
  velmora::setWarningSink([](std::string_view line) {
    std::cerr << line << '\n';
  });

  try {
    return action ? action() : 0;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << e.what() << '\n';
    return 1;
  }
}
