// Desktop services through `osascript` and `open`, the command-line faces of
// AppleScript and Launch Services. Portable: it only starts processes, so it
// is built and tested everywhere with stand-ins for the two tools.
#include <memory>
#include <system_error>

#include "platform/process.hpp"
#include "velmora/desktop.hpp"

namespace velmora {

namespace {

// An AppleScript string literal holding `text`.
std::string appleScriptString(const std::string& text) {
  std::string literal = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') literal += '\\';
    literal += c;
  }
  return literal + "\"";
}

std::string styleWord(AlertStyle style) {
  switch (style) {
    case AlertStyle::critical: return "critical";
    case AlertStyle::informational: return "informational";
    default: return "warning";
  }
}

std::string withoutTrailingLineFeed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

class OsascriptScript final : public PrivilegedScript {
 public:
  OsascriptScript(std::string osascript, std::string source)
      : osascript_(std::move(osascript)), source_(std::move(source)) {}

  // The script runs inside a try block that prints its error number and
  // message on standard output, which is all the runner reads.
  std::optional<ScriptErrorInfo> execute() override {
    std::string output;
    try {
      output = platform::runToEnd(osascript_, {"-e", "try", "-e", source_, "-e", "on error errorMessage number errorNumber",
                                               "-e", "return \"velmora-script-error:\" & errorNumber & \":\" & errorMessage",
                                               "-e", "end try"}).output;
    } catch (const std::system_error& error) {
      return ScriptErrorInfo{{"NSAppleScriptErrorMessage", error.what()}};
    }
    output = withoutTrailingLineFeed(output);
    constexpr std::string_view marker = "velmora-script-error:";
    if (output.rfind(marker, 0) != 0) return std::nullopt;
    const std::string rest = output.substr(marker.size());
    const auto colon = rest.find(':');
    ScriptErrorInfo info;
    info["NSAppleScriptErrorNumber"] = rest.substr(0, colon);
    info["NSAppleScriptErrorMessage"] = colon == std::string::npos ? "" : rest.substr(colon + 1);
    return info;
  }

 private:
  std::string osascript_;
  std::string source_;
};

class OsascriptDesktop final : public DesktopServices {
 public:
  explicit OsascriptDesktop(std::string toolFolder)
      : osascript_(toolFolder + "/osascript"), open_(toolFolder + "/open") {}

  int runModalAlert(const DesktopAlert& alert) override {
    std::string script = "display alert " + appleScriptString(alert.message) + " message " +
                         appleScriptString(alert.informativeText) + " as " + styleWord(alert.style);
    if (!alert.buttons.empty()) {
      script += " buttons {";
      for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
        script += (i ? ", " : "") + appleScriptString(alert.buttons[i]);
      }
      script += "}";
    }
    std::string answer;
    try {
      answer = withoutTrailingLineFeed(platform::runToEnd(osascript_, {"-e", script}).output);
    } catch (const std::system_error&) {
      return -1;
    }
    constexpr std::string_view prefix = "button returned:";
    if (answer.rfind(prefix, 0) != 0) return -1;
    const std::string chosen = answer.substr(prefix.size());
    for (std::size_t i = 0; i < alert.buttons.size(); ++i) {
      if (alert.buttons[i] == chosen) return static_cast<int>(i);
    }
    return alert.buttons.empty() ? 0 : -1;
  }

  bool openURL(const std::string& url) override {
    // Not waited for: the opener finishes on its own and is reaped by its monitor.
    auto opener = std::make_unique<platform::ChildProcess>(open_, std::vector<std::string>{url});
    try {
      opener->start();
    } catch (const std::system_error&) {
      return false;
    }
    opener->letRunToEnd();
    return true;
  }

  std::unique_ptr<PrivilegedScript> makeScript(const std::string& source) override {
    if (source.empty()) return nullptr;
    return std::make_unique<OsascriptScript>(osascript_, source);
  }

 private:
  std::string osascript_;
  std::string open_;
};

}  // namespace

std::shared_ptr<DesktopServices> osascriptDesktopServices(std::string toolFolder) {
  return std::make_shared<OsascriptDesktop>(std::move(toolFolder));
}

}  // namespace velmora
