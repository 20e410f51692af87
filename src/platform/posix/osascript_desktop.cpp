// Desktop services through `osascript` and `open`, the command-line faces of
// AppleScript and Launch Services. Portable: it only starts processes, so it
// is built and tested everywhere with stand-ins for the two tools.
#include <memory>
#include <stdexcept>
#include <system_error>

#include "platform/desktop_support.hpp"
#include "platform/process.hpp"
#include "velmora/desktop.hpp"
#include "velmora/runner/cli_utility.hpp"

namespace velmora {

namespace {

// osascript prints an alert's answer or a script's result; anything longer
// than this is not an answer and ends the run.
constexpr std::size_t kMaxOsascriptOutput = 64 * 1024;

struct OutputTooLong : std::runtime_error {
  OutputTooLong() : std::runtime_error("osascript wrote more than " + std::to_string(kMaxOsascriptOutput) + " bytes") {}
};

// Runs osascript with `arguments`, under `control` when there is one; its
// output without the final line feed, and how it ended. Throws
// std::system_error when it cannot be started (ECANCELED once the control
// has been signalled) and OutputTooLong when it writes too much.
platform::CompletedRun runOsascript(const std::string& osascript, const std::vector<std::string>& arguments,
                                    CLIRunControl* control) {
  std::size_t seen = 0;
  const auto limit = [&seen](std::string_view block) {
    seen += block.size();
    if (seen > kMaxOsascriptOutput) throw OutputTooLong();
  };
  platform::CompletedRun run = control ? platform::runUnderControl(osascript, arguments, limit, /*keepOutput=*/true,
                                                                   platformControl(*control))
                                       : platform::runToEnd(osascript, arguments, limit);
  while (!run.output.empty() && (run.output.back() == '\n' || run.output.back() == '\r')) run.output.pop_back();
  return run;
}

std::string describeEnd(const platform::ExitStatus& status) {
  return status.signaled ? "osascript was ended by signal " + std::to_string(status.code)
                         : "osascript exited with status " + std::to_string(status.code);
}

std::string styleWord(AlertStyle style) {
  switch (style) {
    case AlertStyle::critical: return "critical";
    case AlertStyle::informational: return "informational";
    default: return "warning";
  }
}

class OsascriptScript final : public PrivilegedScript {
 public:
  OsascriptScript(std::string osascript, std::string source, std::shared_ptr<CLIRunControl> control)
      : osascript_(std::move(osascript)), source_(std::move(source)), control_(std::move(control)) {}

  // The script runs inside a try block that prints its error number and
  // message on standard output, which is all the runner reads. osascript
  // failing on its own (a syntax error, a crash) shows only in its exit
  // status, which is therefore a failure too, never a success.
  std::optional<ScriptErrorInfo> execute() override {
    platform::CompletedRun run;
    try {
      run = runOsascript(osascript_, {"-e", "try", "-e", source_, "-e", "on error errorMessage number errorNumber", "-e",
                                      "return \"velmora-script-error:\" & errorNumber & \":\" & errorMessage", "-e",
                                      "end try"},
                         control_.get());
    } catch (const std::exception& error) {
      return ScriptErrorInfo{{"NSAppleScriptErrorMessage", error.what()}};
    }
    constexpr std::string_view marker = "velmora-script-error:";
    if (run.output.rfind(marker, 0) == 0) {
      const std::string rest = run.output.substr(marker.size());
      const auto colon = rest.find(':');
      return ScriptErrorInfo{{"NSAppleScriptErrorNumber", rest.substr(0, colon)},
                             {"NSAppleScriptErrorMessage", colon == std::string::npos ? "" : rest.substr(colon + 1)}};
    }
    if (!run.status.succeeded()) return ScriptErrorInfo{{"NSAppleScriptErrorMessage", describeEnd(run.status)}};
    return std::nullopt;
  }

 private:
  std::string osascript_;
  std::string source_;
  std::shared_ptr<CLIRunControl> control_;
};

class OsascriptDesktop final : public DesktopServices {
 public:
  OsascriptDesktop(const std::string& toolFolder, std::shared_ptr<CLIRunControl> control)
      : osascript_(toolFolder + "/osascript"), open_(toolFolder + "/open"), control_(std::move(control)) {}

  int runModalAlert(const DesktopAlert& alert) override {
    std::string script = "display alert " + platform::appleScriptString(alert.message) + " message " +
                         platform::appleScriptString(alert.informativeText) + " as " + styleWord(alert.style);
    if (!alert.buttons.empty()) {
      script += " buttons {";
      for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        script += (i ? ", " : "") + platform::appleScriptString(alert.buttons[i]);
      }
      script += "}";
    }
    platform::CompletedRun run;
    try {
      run = runOsascript(osascript_, {"-e", script}, control_.get());
    } catch (const std::exception&) {
      return -1;
    }
    constexpr std::string_view prefix = "button returned:";
    if (!run.status.succeeded() || run.output.rfind(prefix, 0) != 0) return -1;
    const std::string chosen = run.output.substr(prefix.size());
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
      if (alert.buttons[i] == chosen) return static_cast<int>(i);
    }
    return alert.buttons.empty() ? 0 : -1;
  }

  bool openURL(const std::string& url) override {
    if (control_ && control_->signalSent() != 0) return false;  // stopped: nothing new starts
    return platform::launchOpener(open_, url);
  }

  std::unique_ptr<PrivilegedScript> makeScript(const std::string& source) override {
    if (source.empty()) return nullptr;
    return std::make_unique<OsascriptScript>(osascript_, source, control_);
  }

 private:
  std::string osascript_;
  std::string open_;
  std::shared_ptr<CLIRunControl> control_;  // may be empty
};

}  // namespace

std::shared_ptr<DesktopServices> osascriptDesktopServices(std::string toolFolder) {
  return std::make_shared<OsascriptDesktop>(toolFolder, nullptr);
}

std::shared_ptr<DesktopServices> osascriptDesktopServices(std::string toolFolder, std::shared_ptr<CLIRunControl> control) {
  return std::make_shared<OsascriptDesktop>(toolFolder, std::move(control));
}

}  // namespace velmora
