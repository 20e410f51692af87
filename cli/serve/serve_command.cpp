// serve: the Prometheus exporter (see serve/exporter.hpp).
#include <cmath>
#include <optional>
#include <utility>

#include "front_end.hpp"
#include "terminal/standard_streams.hpp"
#include "terminal/terminal.hpp"
#include "serve/exporter.hpp"
#include "serve/web_config.hpp"

namespace velmora::cli {

namespace {

constexpr const char* kDefaultListen = "127.0.0.1:9753";

bool isIPv4(std::string_view host) {
  int parts = 0;
  while (true) {
    std::size_t digits = 0;
    int value = 0;
    while (digits < host.size() && host[digits] >= '0' && host[digits] <= '9' && digits < 3) {
      value = value * 10 + (host[digits] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
    ++parts;
    host.remove_prefix(digits);
    if (host.empty()) return parts == 4;
    if (host.front() != '.' || parts == 4) return false;
    host.remove_prefix(1);
  }
}

// HOST:PORT: an IPv4 address (or "localhost"), or an IPv6 address in
// brackets; port 0 picks a free one. Anything else (a name to resolve, a
// list) is a usage error.
std::string listeningPort(const std::string& text) {
  const auto colon = text.rfind(':');
  const auto fail = [&text](const std::string& why) {
    return CLI::ValidationError("--listen", "'" + text + "': " + why);
  };
  if (colon == std::string::npos) throw fail("give HOST:PORT");
  std::string host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    throw fail("the port is a number from 0 to 65535");
  }
  if (host == "localhost") host = "127.0.0.1";
  const bool ipv6 = host.size() > 2 && host.front() == '[' && host.back() == ']' &&
                    host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
  if (!ipv6 && !isIPv4(host)) throw fail("the host is an IPv4 address, localhost, or an IPv6 address in brackets");
  return host + ":" + port;
}

std::chrono::milliseconds milliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
}

struct ServeOptions {
  std::string listen = kDefaultListen;
  double refresh = 10;
  double smartInterval = 300;
  double toolTimeout = 10;
  bool userEmail = false;
  std::string webConfig;
};

}  // namespace

void addServeCommand(CLI::App& app, const Options& options, Action& action) {
  auto serve = std::make_shared<ServeOptions>();
  auto* command = app.add_subcommand(
      "serve", "Serve filespace and drive metrics to Prometheus at http://HOST:PORT/metrics until Ctrl-C");
  command->add_option("--listen", serve->listen, "Address to listen on (HOST:PORT; port 0 picks a free one)")
      ->capture_default_str()
      ->type_name("HOST:PORT");
  command->add_option("--refresh", serve->refresh, "Seconds between readings of the instances and their caches")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 86400.0));
  command->add_option("--smart-interval", serve->smartInterval, "Seconds between SMART readings of the drives (0: none)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 604800.0));
  command->add_option("--tool-timeout", serve->toolTimeout,
                      "Seconds a LucidLink tool command may take before it is stopped and counted as failed")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 3600.0));
  command->add_option("--web-config", serve->webConfig,
                      "A web configuration file, as the official exporters read: TLS (tls_server_config) and "
                      "passwords (basic_auth_users, bcrypt)")
      ->type_name("FILE");
  command->add_flag("--with-user-email", serve->userEmail,
                    "Add velmora_filespace_user_info, whose user_email label is each instance's user");
  command->footer(
      "Listens on 127.0.0.1:9753 unless told otherwise. Failed collections show as velmora_collector_up 0, "
      "with the reason on standard error. Ctrl-C or SIGTERM stop it once every tool it started is gone (130, 143).");
  command->callback([serve, &options, &action] {
    // A range check lets NaN through.
    for (const auto& [name, seconds] : {std::pair{"--refresh", serve->refresh}, std::pair{"--smart-interval", serve->smartInterval},
                                        std::pair{"--tool-timeout", serve->toolTimeout}}) {
      if (std::isnan(seconds)) throw CLI::ValidationError(name, "not a number of seconds");
    }
    serve::ServeSettings settings;
    settings.http.listen = listeningPort(serve->listen);
    settings.filespaces.tool = options.tool;
    settings.filespaces.refresh = milliseconds(serve->refresh);
    settings.filespaces.toolTimeout = milliseconds(serve->toolTimeout);
    settings.filespaces.userEmail = serve->userEmail;
    settings.smartInterval = milliseconds(serve->smartInterval);
    action = [settings, webConfig = serve->webConfig]() mutable {
      // A closed standard error would otherwise be the listening socket's
      // number, and the log would go there (and to the tools as their stderr).
      platform::openClosedStandardStreams();
      platform::StopSignals stopSignals;  // before any thread starts
      std::optional<serve::Exporter> exporter;
      try {
        if (!webConfig.empty()) {
          auto config = std::make_shared<const serve::WebConfig>(serve::loadWebConfig(webConfig));
          settings.http.tls = config->tls;
          if (!config->basicAuthUsers.empty()) {
            settings.http.checkPassword = [config](std::string_view user, std::string_view password) {
              return serve::checkBasicAuth(*config, user, password);
            };
          }
        }
        exporter.emplace(settings);
      } catch (const serve::ListenError& error) {
        throw CommandError("CommandError", "cannotListen", error.what());
      } catch (const serve::WebConfigError& error) {
        throw CommandError("CommandError", "invalidWebConfig", error.what());
      }
      const auto colon = settings.http.listen.rfind(':');
      serve::logLine(std::string("listening on ") + (settings.http.tls ? "https://" : "http://") +
                     settings.http.listen.substr(0, colon) + ":" + std::to_string(exporter->port()) + "/metrics");
      const int signal = stopSignals.wait();
      if (!exporter->stop()) {
        throw CommandError("CommandError", "toolNotGone", "A LucidLink tool the exporter started could not be ended");
      }
      return exitForSignal(signal);
    };
  });
}

}  // namespace velmora::cli
