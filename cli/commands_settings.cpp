// settings open.
#include <map>
#include <memory>

#include "command_table.hpp"
#include "front_end.hpp"
#include "velmora/settings/system_settings.hpp"

namespace velmora::cli {

namespace {

// Passes everything on to `inner` and remembers whether an opener failed to
// start: the library's open() reports nothing, as documented, but a command
// that opened nothing must not say it did.
class OpenerWatch final : public DesktopServices {
 public:
  explicit OpenerWatch(std::shared_ptr<DesktopServices> inner) : inner_(std::move(inner)) {}
  int runModalAlert(const DesktopAlert& alert) override { return inner_->runModalAlert(alert); }
  bool openURL(const std::string& url) override {
    const bool started = inner_->openURL(url);
    failed_ = failed_ || !started;
    return started;
  }
  std::unique_ptr<PrivilegedScript> makeScript(const std::string& source) override {
    return inner_->makeScript(source);
  }
  bool failed() const { return failed_; }

 private:
  std::shared_ptr<DesktopServices> inner_;
  bool failed_ = false;
};

const std::map<std::string, SystemPreferencesPanels> kPaneNames = {
    {"privacyAndSecurity", SystemPreferencesPanels::privacyAndSecurity},
    {"localization", SystemPreferencesPanels::localization},
    {"notification", SystemPreferencesPanels::notification}};

// The pane's name or its bundle's file name, exactly.
std::optional<SystemPreferencesPanels> paneNamed(const std::string& name) {
  const auto named = kPaneNames.find(name);
  return named != kPaneNames.end() ? std::optional(named->second) : systemPreferencesPanel(name);
}

}  // namespace

void addSettingsCommands(CLI::App& app, const Options& options, Action& action) {
  auto pane = std::make_shared<std::string>();
  auto* settings = app.add_subcommand("settings", "Open the system settings");
  settings->require_subcommand(1);
  auto* open = settings->add_subcommand(
      "open", "Open a pane: privacyAndSecurity (security), localization, notification (notifications)");
  std::vector<std::string> paneNames;
  for (const auto& [name, panel] : kPaneNames) paneNames.push_back(name);
  offerWords(open->add_option("PANE", *pane, "The pane (the start page without one)"), paneNames);
  open->callback([pane, &options, &action] {
    action = [pane, &options] {
      std::optional<SystemPreferencesPanels> panel;
      if (!pane->empty()) {
        panel = paneNamed(*pane);
        if (!panel) {
          throw CommandError("CommandError", "unknownPane",
                             "No such pane: " + *pane +
                                 " (privacyAndSecurity, localization, notification, or security, notifications)");
        }
      }
      OpenerWatch desktop(options.desktopTools.empty() ? desktopServices() : osascriptDesktopServices(options.desktopTools));
      const std::string url = SystemSettingsInterface::url(panel);
      SystemSettingsInterface::open(panel, &desktop);
      if (desktop.failed()) throw CommandError("CommandError", "openerNotStarted", "No opener could be started for " + url);
      if (options.json) {
        printJson({{"opened", url}});
      } else {
        printRaw("Opening " + url + "\n");
      }
      return 0;
    };
  });
}

}  // namespace velmora::cli
