// serve, in a front end built without prometheus-cpp: the command is there,
// so that scripts get a clear failure instead of a usage error.
#include "front_end.hpp"

namespace velmora::cli {

void addServeCommand(CLI::App& app, const Options&, Action& action) {
  auto* command = app.add_subcommand("serve", "Serve metrics to Prometheus (not in this build: needs prometheus-cpp)");
  command->allow_extras();
  command->callback([&action] {
    action = [] () -> int {
      throw CommandError("CommandError", "notBuilt",
                         "This velmora-fsutil was built without prometheus-cpp: serve is not available");
    };
  });
}

}  // namespace velmora::cli
