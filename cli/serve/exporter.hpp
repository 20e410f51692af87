// `velmora-fsutil serve`: a Prometheus exporter of the filespace instances
// and the machine's drives, built on prometheus-cpp (its core registry and
// its civetweb-based pull exposer), which writes the text exposition format
// 0.0.4 and serves it.
//
// Scrapes never wait on a tool or a drive: the collectors run on threads of
// their own at their intervals and set the registry's series; a scrape
// sends them as last serialized (scrape_body.hpp), written by prometheus-cpp's
// text serializer. civetweb serves, started by the exposer; every request is
// answered by the exporter's own routing, so the exposer's handler and its
// exposer_* series are not used. One exporter per process. HTTP: only GET /metrics and a short page at /
// are served, anything else is 404 (405 for another method); the request
// line and headers may hold 4 KiB; a client has 5 s to send its request and
// take the answer, and connections are not kept alive, so a slow or idle
// client holds one of the 64 worker threads for 5 s at most. No password is
// ever read; the user's email is a label only with --with-user-email.
#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "serve/filespace_collector.hpp"

namespace velmora::cli::serve {

// The exporter cannot listen on the address it was given.
class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServeSettings {
  std::string listen;  // civetweb's listening_ports: "127.0.0.1:9753", "[::1]:0"
  FilespaceSettings filespaces;
  std::chrono::milliseconds smartInterval{300000};  // zero: no drive collector
};

class Exporter {
 public:
  // Starts serving and collecting. Throws ListenError when it cannot listen.
  explicit Exporter(const ServeSettings& settings);
  ~Exporter();

  // The ports it listens on (the real one for port 0).
  std::vector<int> ports() const;

  // Stops serving, then the collectors and every tool they started. True
  // when each tool was seen gone.
  bool stop();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace velmora::cli::serve
