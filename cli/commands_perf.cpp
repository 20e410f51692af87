// lucid perf: live counters until interrupted.
#include <csignal>
#include <mutex>
#include <sstream>

#include "front_end.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::cli {

namespace {

using nlohmann::json;

struct PerfOptions {
  std::string fs, cache, objectStore;  // comma-separated metric names
  bool all = false;
};

std::vector<LucidPerfMetric> metricsOf(const std::string& names) {
  std::vector<LucidPerfMetric> metrics;
  std::istringstream in(names);
  for (std::string name; std::getline(in, name, ',');) {
    if (name.empty()) continue;
    const auto metric = lucidPerfMetric(name);
    if (!metric) throw std::invalid_argument("Unknown metric: " + name);
    metrics.push_back(*metric);
  }
  return metrics;
}

LucidPerfQuery queryOf(const PerfOptions& perf, const CLI::App& command) {
  LucidPerfQuery query;
  if (perf.all || (!command.count("--fs") && !command.count("--cache") && !command.count("--objectstore"))) {
    query.layersToMetrics[LucidDataLayer::all] = {};
    return query;
  }
  if (command.count("--fs")) query.layersToMetrics[LucidDataLayer::fileSystem] = metricsOf(perf.fs);
  if (command.count("--cache")) query.layersToMetrics[LucidDataLayer::cache] = metricsOf(perf.cache);
  if (command.count("--objectstore")) query.layersToMetrics[LucidDataLayer::objectStore] = metricsOf(perf.objectStore);
  return query;
}

json valueJson(const std::string& text) {
  const auto value = LucidPerfMetricValue::parseMetricValue(text);
  json parsed = {{"raw", value.raw},
                 {"intValue", optionalJson(value.intValue)},
                 {"doubleValue", optionalJson(value.doubleValue)},
                 {"unit", value.unit ? json(std::string(rawValue(*value.unit))) : json(nullptr)}};
  if (value.unit && value.doubleValue) {
    if (const auto bytes = LucidPerfMetricValue::convertToBytes(*value.doubleValue, *value.unit)) {
      parsed["bytesPerSecond"] = *bytes;
    }
  }
  return parsed;
}

// Prints each update as it arrives: one line of text, or one JSON object.
class Printer final : public LucidLinkPerformanceUpdateReciever {
 public:
  explicit Printer(bool json) : json_(json) {}
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    std::string line;
    if (json_) {
      json metrics = json::object();
      for (const auto& [metric, text] : update.dictionary) {
        metrics[std::string(rawValue(metric))] = {{"text", text}, {"value", valueJson(text)}};
      }
      line = json{{"dataLayer", rawValue(update.dataLayer)}, {"timestamp", update.timestamp}, {"metrics", metrics}}
                 .dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    } else {
      std::ostringstream out;
      out << update.timestamp << "  " << rawValue(update.dataLayer) << ":";
      for (const auto& [metric, text] : update.dictionary) out << "  " << description(metric) << " " << text;
      line = out.str() + "\n";
    }
    std::lock_guard lock(mutex_);
    printRaw(line);
  }

 private:
  bool json_;
  std::mutex mutex_;
};

}  // namespace

void addPerfCommand(CLI::App& lucid, ClientFactory makeClient, const Options& options, Action& action) {
  auto perf = std::make_shared<PerfOptions>();
  auto* command = lucid.add_subcommand("perf", "Print live performance counters until Ctrl-C");
  command->add_option("--fs", perf->fs, "File system metrics, e.g. readBytes,writeBytes");
  command->add_option("--cache", perf->cache, "Cache metrics, e.g. %hits,dirtyBytes");
  command->add_option("--objectstore", perf->objectStore, "Object store metrics, e.g. getBytes,putBytes");
  command->add_flag("--all", perf->all, "Every layer and metric the tool has (the default)");
  command->callback([command, perf, makeClient, &options, &action] {
    const LucidPerfQuery query = queryOf(*perf, *command);
    action = [query, makeClient, &options] {
      // Blocked before the run's threads start, so that they inherit the
      // mask and sigwait below takes the signal.
      sigset_t stopSignals;
      sigemptyset(&stopSignals);
      sigaddset(&stopSignals, SIGINT);
      sigaddset(&stopSignals, SIGTERM);
      pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

      auto client = makeClient();
      auto printer = std::make_shared<Printer>(options.json);
      const auto pid = client->runPerf(query, printer);
      int signal = 0;
      sigwait(&stopSignals, &signal);
      client->cancelProcessWithId(pid);  // returns once no more output will be printed
      return 0;
    };
  });
}

}  // namespace velmora::cli
