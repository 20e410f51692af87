// kext info|name|load.
#include <future>
#include <memory>

#include "front_end.hpp"
#include "terminal/terminal.hpp"
#include "velmora/kext/kernel_extension.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora::cli {

namespace {

// The desktop services to use: the platform's, or osascript and open from a
// given folder (stand-ins included).
std::shared_ptr<DesktopServices> desktopFrom(const std::string& toolFolder) {
  return toolFolder.empty() ? desktopServices() : osascriptDesktopServices(toolFolder);
}

// The same, with the processes it waits for (osascript) under `control`.
std::shared_ptr<DesktopServices> desktopFrom(const std::string& toolFolder, std::shared_ptr<CLIRunControl> control) {
  return toolFolder.empty() ? platformDesktopServices(std::move(control))
                            : osascriptDesktopServices(toolFolder, std::move(control));
}

}  // namespace

void addKextCommands(CLI::App& app, const Options& options, Action& action) {
  auto* kext = app.add_subcommand("kext", "Describe and load kernel extensions");
  kext->require_subcommand(1);

  auto path = std::make_shared<std::string>();
  auto* info = kext->add_subcommand("info", "Describe the bundle at PATH from its Info.plist");
  info->add_option("PATH", *path, "A .kext or .fs bundle")->required();
  info->callback([path, &options, &action] {
    action = [path, &options] {
      const auto described = KernelExtensionInfoFactory::kernelExtensionInfo(*path);
      if (options.json) {
        printJson({{"extensionID", described.extensionID},
                   {"extensionFilePath", described.extensionFilePath},
                   {"name", described.name},
                   {"versionString", described.versionString}});
      } else {
        printRaw(escapedForTerminal(described.name) + " " + escapedForTerminal(described.versionString) + " (" +
                 escapedForTerminal(described.extensionID) + ")\n" + escapedForTerminal(described.extensionFilePath) + "\n");
      }
      return 0;
    };
  });

  auto identifier = std::make_shared<std::string>();
  auto* name = kext->add_subcommand("name", "The extension name a bundle identifier implies");
  name->add_option("ID", *identifier, "A bundle identifier")->required();
  name->callback([identifier, &options, &action] {
    action = [identifier, &options] {
      const KernelExtensionCommandDelegate delegate(desktopFrom(options.desktopTools));
      const auto expected = delegate.expectedExtensionName(*identifier);
      if (options.json) {
        printJson({{"expectedExtensionName", optionalJson(expected)}});
        return 0;
      }
      if (!expected) throw CommandError("CommandError", "noExtensionName", "No name in \"" + *identifier + "\"");
      printRaw(escapedForTerminal(*expected) + "\n");
      return 0;
    };
  });

  auto* load = kext->add_subcommand("load", "Load the kernel extension at PATH with administrator rights");
  load->add_option("PATH", *path, "A .kext bundle")->required();
  load->callback([path, &options, &action] {
    action = [path, &options] {
      // As for `run`: a stop signal goes to the osascript of the alert or
      // script running then, none starts after it, and the command exits
      // 128+N once it is gone (it used to be left running).
      auto control = std::make_shared<CLIRunControl>();
      platform::StopSignals stopSignals([control](int signal) { control->signal(signal); });
      KernelExtensionCommandDelegate delegate(desktopFrom(options.desktopTools, control));
      std::promise<std::optional<KernelExtensionError>> outcome;
      std::promise<void> finished;
      delegate.loadKernelExtension(
          *path, [&outcome](std::optional<KernelExtensionError> error) { outcome.set_value(std::move(error)); },
          [&finished] { finished.set_value(); });
      // Not before the load is over: an alert still showing would otherwise
      // die with the process, and with it the pane it may open.
      finished.get_future().wait();
      stopSignals.wake();
      if (const int signal = stopSignals.wait()) return exitForSignal(signal);
      const auto error = outcome.get_future().get();
      if (error) throw *error;
      if (options.json) {
        printJson({{"loaded", *path}});
      } else {
        printRaw("Loaded " + escapedForTerminal(*path) + "\n");
      }
      return 0;
    };
  });
}

}  // namespace velmora::cli
