#include "serve/exporter.hpp"

#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include "serve/drive_collector.hpp"
#include "serve/scrape_body.hpp"
#include "velmora/version.hpp"

namespace velmora::cli::serve {

// Destroyed in reverse: the server before the body it serves, the body
// before the collectors whose series it reads.
struct Exporter::State {
  std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
  std::shared_ptr<Collectors> collectors = std::make_shared<Collectors>();
  std::unique_ptr<FilespaceCollector> filespaces;
  std::unique_ptr<DriveCollector> drives;
  std::unique_ptr<ScrapeBody> body;
  std::unique_ptr<HttpServer> server;
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
  state_->server = std::make_unique<HttpServer>(settings.http, [body = state_->body.get()] { return body->text(); });
  // A collector that cannot start its thread throws; the state then goes in
  // the order above, the server first.
  state_->filespaces->start();
  if (state_->drives) state_->drives->start();
}

Exporter::~Exporter() { stop(); }

int Exporter::port() const { return state_->server ? state_->server->port() : 0; }

bool Exporter::stop() {
  if (state_->stopped) return state_->allGone;
  state_->stopped = true;
  state_->server.reset();  // waits for requests in progress, each short: nothing blocks in them
  if (state_->drives) state_->drives->stop();
  state_->allGone = state_->filespaces->stop();
  return state_->allGone;
}

}  // namespace velmora::cli::serve
