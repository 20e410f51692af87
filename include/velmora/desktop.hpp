/// @file
/// The desktop services that the kernel-extension and settings flows use:
/// modal alerts, opening a URL with its default handler, privileged scripts.
///
/// The library's backends start the desktop's own tools: `osascript` and
/// `open` on macOS, `xdg-open` on Linux (where an alert gets no answer and no
/// script can be made).
/// A host may install its own services, its own alert windows say, with
/// setDesktopServices(). The library calls them from the main queue and from
/// the threads that run scripts, never while holding a lock of its own, so
/// they must be callable from any thread.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

/// An alert's look, as the platform shows each.
enum class AlertStyle {
  warning,        // the default
  informational,  // no cause for concern
  critical,       // the user may lose data
};

/// A modal alert to show.
struct DesktopAlert {
  std::string message;  // the title
  std::string informativeText;  // the text below it
  AlertStyle style = AlertStyle::warning;  // its look
  std::vector<std::string> buttons;  // empty: the platform's single default button
};

/// A script's error information, as text keys and values
/// ("NSAppleScriptErrorMessage", "NSAppleScriptErrorNumber", ...).
using ScriptErrorInfo = std::map<std::string, std::string>;

/// A script run with an administrator's rights.
class PrivilegedScript {
 public:
  virtual ~PrivilegedScript() = default;
  /// Runs the script (the platform may ask for an administrator's password);
  /// the error information when it fails, also when the runner itself could
  /// not start, failed or crashed; nothing only when it succeeded.
  virtual std::optional<ScriptErrorInfo> execute() = 0;
};

/// Alerts, URL opening and privileged scripts: what a host may replace.
class DesktopServices {
 public:
  virtual ~DesktopServices() = default;
  /// Shows the alert modally; the index of the chosen button (0 for the
  /// default button), or -1 when no alert could be shown.
  virtual int runModalAlert(const DesktopAlert& alert) = 0;
  /// Hands `url` to its default handler and returns at once, without waiting
  /// for the handler; false when that could not even be started (no opener).
  virtual bool openURL(const std::string& url) = 0;
  /// A script object for `source`, or nullptr when none can be made.
  virtual std::unique_ptr<PrivilegedScript> makeScript(const std::string& source) = 0;
};

class CLIRunControl;

/// The backend through `osascript` and `open` found in `toolFolder`.
std::shared_ptr<DesktopServices> osascriptDesktopServices(std::string toolFolder = "/usr/bin");
/// The same, with its osascript runs under `control`, so that a host stopping
/// on a signal leaves no alert or script process behind: a signal sent
/// through the control reaches the osascript running then (SIGKILL 3 seconds
/// later), and from then on no osascript or opener starts (an alert counts as
/// not shown, a script as failed, a URL as not opened).
std::shared_ptr<DesktopServices> osascriptDesktopServices(std::string toolFolder, std::shared_ptr<CLIRunControl> control);
///@{
/// This platform's backend; with `control`, its waited-for processes run
/// under it as above (Linux's backend starts none).
std::shared_ptr<DesktopServices> platformDesktopServices();
std::shared_ptr<DesktopServices> platformDesktopServices(std::shared_ptr<CLIRunControl> control);
///@}

///@{
/// The services used where none is given: the platform's unless a host
/// installed others. An empty pointer restores the platform's.
std::shared_ptr<DesktopServices> desktopServices();
void setDesktopServices(std::shared_ptr<DesktopServices> services);
///@}

}  // namespace velmora
