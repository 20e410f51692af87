// `velmora-fsutil serve`: a Prometheus exporter of the filespace instances
// and the machine's drives. prometheus-cpp's core keeps the series and
// writes the text exposition format 0.0.4; libmicrohttpd serves it
// (http_server.hpp: event-driven, so idle or slow clients never starve a
// scrape; optional TLS and passwords from the web configuration file).
//
// Scrapes never wait on a tool or a drive: the collectors run on threads of
// their own at their intervals and set the registry's series; a scrape
// sends them as last serialized (scrape_body.hpp). The server starts before
// the collectors and stops before them, so no request sees the body go. No
// password is ever read from a tool; the user's email is a label only with
// --with-user-email.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "serve/filespace_collector.hpp"
#include "serve/http_server.hpp"

namespace velmora::cli::serve {

struct ServeSettings {
  HttpSettings http;
  FilespaceSettings filespaces;
  std::chrono::milliseconds smartInterval{300000};  // zero: no drive collector
};

class Exporter {
 public:
  // Starts serving and collecting. Throws ListenError when it cannot listen,
  // WebConfigError when the TLS material cannot be used.
  explicit Exporter(const ServeSettings& settings);
  ~Exporter();

  // The port it listens on (the real one for port 0).
  int port() const;

  // Stops serving, then the collectors and every tool they started. True
  // when each tool was seen gone.
  bool stop();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace velmora::cli::serve
