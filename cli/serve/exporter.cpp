#include "serve/exporter.hpp"

#include <atomic>
#include <string_view>

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/exposer.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include "serve/drive_collector.hpp"
#include "serve/scrape_body.hpp"
#include "velmora/version.hpp"

namespace velmora::cli::serve {

namespace {

int respond(mg_connection* connection, int status, const char* reason, std::string_view body, bool withBody,
            const char* extraHeaders = "") {
  mg_printf(connection,
            "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n%sConnection: close\r\n\r\n", status,
            reason, status == 200 ? "text/html; charset=utf-8" : "text/plain; charset=utf-8", body.size(), extraHeaders);
  if (withBody) mg_write(connection, body.data(), body.size());
  return status;  // handled here: civetweb sends nothing more
}

// The body of the exporter that serves, set while it does. Civetweb's
// callbacks carry no context of their own, and a process runs one exporter.
std::atomic<ScrapeBody*> servedBody{nullptr};

int serveMetrics(mg_connection* connection) {
  ScrapeBody* body = servedBody.load(std::memory_order_acquire);
  if (body == nullptr) return respond(connection, 503, "Service Unavailable", "Stopping\n", true);
  const std::shared_ptr<const std::string> text = body->text();
  mg_printf(connection,
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: %zu\r\n"
            "Connection: close\r\n\r\n",
            text->size());
  mg_write(connection, text->data(), text->size());
  return 200;
}

// Runs before civetweb looks for a handler: every request is answered here.
int routeRequest(mg_connection* connection) {
  constexpr std::string_view kPage =
      "<html><head><title>velmora-fsutil exporter</title></head><body><h1>velmora-fsutil exporter</h1>"
      "<p>Filespace and drive metrics: <a href=\"/metrics\">/metrics</a></p></body></html>\n";
  const mg_request_info* request = mg_get_request_info(connection);
  const std::string_view uri = request->local_uri ? request->local_uri : "";
  const std::string_view method = request->request_method ? request->request_method : "";
  const bool get = method == "GET";
  if (uri == "/metrics" && get) return serveMetrics(connection);
  if (uri == "/") {
    if (get || method == "HEAD") return respond(connection, 200, "OK", kPage, get);
    return respond(connection, 405, "Method Not Allowed", "Method not allowed\n", true, "Allow: GET, HEAD\r\n");
  }
  if (uri == "/metrics") return respond(connection, 405, "Method Not Allowed", "Method not allowed\n", true, "Allow: GET\r\n");
  return respond(connection, 404, "Not Found", "Not found: this exporter serves /metrics\n", method != "HEAD");
}

CivetCallbacks routeCallbacks() {
  CivetCallbacks callbacks;  // all empty
  callbacks.begin_request = routeRequest;
  return callbacks;
}

const CivetCallbacks kCallbacks = routeCallbacks();

}  // namespace

struct Exporter::State {
  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
  std::shared_ptr<Collectors> collectors = std::make_shared<Collectors>();
  std::unique_ptr<FilespaceCollector> filespaces;
  std::unique_ptr<DriveCollector> drives;
  std::unique_ptr<ScrapeBody> body;
  std::unique_ptr<prometheus::Exposer> exposer;
  bool stopped = false;
  bool allGone = true;
};

Exporter::Exporter(const ServeSettings& settings) : state_(std::make_unique<State>()) {
  prometheus::BuildGauge()
      .Name("velmora_build_info")
      .Help("The exporter's version (always 1)")
      .Register(*state_->registry)
      .Add({{"version", VELMORA_FSUTILS_VERSION}})
      .Set(1);
  state_->filespaces = std::make_unique<FilespaceCollector>(*state_->registry, *state_->collectors, settings.filespaces);
  if (settings.smartInterval.count() > 0) {
    state_->drives = std::make_unique<DriveCollector>(*state_->registry, *state_->collectors, settings.smartInterval);
  }
  state_->body = std::make_unique<ScrapeBody>(
      std::vector<std::shared_ptr<prometheus::Collectable>>{state_->registry, state_->collectors}, *state_->collectors);
  ScrapeBody* none = nullptr;
  if (!servedBody.compare_exchange_strong(none, state_->body.get())) throw std::logic_error("one exporter per process");
  try {
    state_->exposer = std::make_unique<prometheus::Exposer>(
        std::vector<std::string>{"listening_ports", settings.listen,
                                 "num_threads", "64",
                                 "connection_queue", "128",
                                 "max_request_size", "4096",
                                 "request_timeout_ms", "5000",
                                 "enable_keep_alive", "no"},
        &kCallbacks);
  } catch (const CivetException&) {  // its own words say little
    servedBody.store(nullptr, std::memory_order_release);
    throw ListenError("Cannot listen on " + settings.listen +
                      ": the port is in use, or the address is not one of this machine's, or not permitted");
  } catch (...) {
    servedBody.store(nullptr, std::memory_order_release);
    throw;
  }
  state_->filespaces->start();
  if (state_->drives) state_->drives->start();
}

Exporter::~Exporter() { stop(); }

std::vector<int> Exporter::ports() const { return state_->exposer ? state_->exposer->GetListeningPorts() : std::vector<int>{}; }

bool Exporter::stop() {
  if (state_->stopped) return state_->allGone;
  state_->stopped = true;
  state_->exposer.reset();  // waits for requests in progress, each bounded by the request timeout
  servedBody.store(nullptr, std::memory_order_release);
  if (state_->drives) state_->drives->stop();
  state_->allGone = state_->filespaces->stop();
  return state_->allGone;
}

}  // namespace velmora::cli::serve
