// The exporter's HTTP server: libmicrohttpd in epoll mode, 4 event threads
// for every connection (more than one, since a TLS handshake or a bcrypt
// check holds its thread a while), so idle or slow clients cost a socket and
// a small buffer each and never hold a thread a scrape needs.
//
// Routing: GET (and HEAD, answered alike without a body) of /metrics and of
// a short page at /; 404 for another path, 405 for another method of a served
// path, 400 for the target `*`; a target in absolute form
// (`http://host/metrics`) is served as its path. Request line and headers may
// hold 4 KiB (431 beyond); a request with a body is answered without reading
// it, and its connection closed. Limits: 2048 connections, 1024 from one
// address, a connection idle for 5 s is closed (kept alive until then); the server raises the process' limit
// of open files to its hard limit, and admits fewer connections where that
// is still too low. With TLS, a client certificate is
// checked as the configuration's client_auth_type says (403 otherwise;
// without client_ca_file, RequestClientCert and RequireAnyClientCert ask for
// one naming the server's own certificate as the authority); with
// users, every path needs one of them (401 and `WWW-Authenticate: Basic
// realm="velmora"` otherwise). A password once accepted is remembered by
// its SHA-256 digest, so a scraper's every request does not cost a bcrypt
// check; one password is checked at a time, and a request arriving during
// that check is told to retry (503, Retry-After: 1) rather than hold one of
// the event threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "serve/web_config.hpp"

namespace velmora::cli::serve {

// The exporter cannot listen on the address it was given.
class ListenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HttpSettings {
  std::string listen;  // "127.0.0.1:9753", "[::1]:0"
  std::optional<TlsMaterial> tls;
  // Empty: no password asked. Else true when the user and password match;
  // called from the server's threads.
  std::function<bool(std::string_view user, std::string_view password)> checkPassword;
};

class HttpServer {
 public:
  using Body = std::function<std::shared_ptr<const std::string>()>;

  // Starts serving; `metrics` gives the body of /metrics from any thread.
  // Throws ListenError.
  HttpServer(const HttpSettings& settings, Body metrics);
  ~HttpServer();  // stops, after the requests in progress
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Raises the soft limit of open descriptors to the hard one, so that the
// connections the server admits can be opened; returns the limit now.
long raiseDescriptorLimit();

}  // namespace velmora::cli::serve
