// lucid perf: live counters until the run ends or a stop signal arrives.
#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <sstream>

#include "command_table.hpp"
#include "front_end.hpp"
#include "terminal/terminal.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora::cli {

namespace {

using nlohmann::json;

struct PerfOptions {
  std::string fs, cache, objectStore;  // comma-separated metric names
  bool all = false;
};

struct LayerOption {
  LucidDataLayer layer;
  const char* option;
  const char* label;
};
constexpr LayerOption kLayerOptions[] = {
    {LucidDataLayer::fileSystem, "--fs", "file system"},
    {LucidDataLayer::cache, "--cache", "cache"},
    {LucidDataLayer::objectStore, "--objectstore", "object store"},
};

// The metrics the tool takes for `layer`, as the library's query asks for
// them: a metric the layer does not have leaves the layer's word alone.
std::vector<LucidPerfMetric> metricsFor(LucidDataLayer layer) {
  std::vector<LucidPerfMetric> metrics;
  for (const LucidPerfMetric metric : allPerfMetrics()) {
    if (LucidPerfQuery({{layer, {metric}}}).arguments().size() == 3) metrics.push_back(metric);
  }
  return metrics;
}

std::string namesOf(const std::vector<LucidPerfMetric>& metrics) {
  std::string names;
  for (const auto metric : metrics) names += (names.empty() ? "" : ", ") + std::string(rawValue(metric));
  return names;
}

// The metrics named in `names` for the layer; any other name is a usage error
// that lists the layer's names.
std::vector<LucidPerfMetric> metricsOf(const LayerOption& layer, const std::string& names) {
  const auto valid = metricsFor(layer.layer);
  std::vector<LucidPerfMetric> metrics;
  std::istringstream in(names);
  for (std::string name; std::getline(in, name, ',');) {
    if (name.empty()) continue;
    const auto metric = lucidPerfMetric(name);
    if (!metric || std::find(valid.begin(), valid.end(), *metric) == valid.end()) {
      throw CLI::ValidationError(layer.option, "no " + std::string(layer.label) + " metric '" + name +
                                                   "'; the " + layer.label + " metrics are " + namesOf(valid));
    }
    metrics.push_back(*metric);
  }
  return metrics;
}

LucidPerfQuery queryOf(const PerfOptions& perf, const CLI::App& command) {
  LucidPerfQuery query;
  const std::string* names[] = {&perf.fs, &perf.cache, &perf.objectStore};
  bool any = false;
  for (std::size_t i = 0; i < std::size(kLayerOptions); ++i) {
    if (!command.count(kLayerOptions[i].option)) continue;
    query.layersToMetrics[kLayerOptions[i].layer] = metricsOf(kLayerOptions[i], *names[i]);
    any = true;
  }
  if (perf.all || !any) query.layersToMetrics = {{LucidDataLayer::all, {}}};
  return query;
}

json valueJson(const std::string& text) {
  const auto value = LucidPerfMetricValue::parseMetricValue(text);
  json parsed = {{"raw", value.raw()},
                 {"intValue", optionalJson(value.intValue())},
                 {"doubleValue", optionalJson(value.doubleValue())},
                 {"unit", value.unit() ? json(std::string(rawValue(*value.unit()))) : json(nullptr)}};
  if (value.unit() && value.doubleValue()) {
    if (const auto bytes = LucidPerfMetricValue::convertToBytes(*value.doubleValue(), *value.unit())) {
      parsed["bytesPerSecond"] = *bytes;
    }
  }
  return parsed;
}

const char* reasonName(LucidPerfRunEnd::Reason reason) {
  switch (reason) {
    case LucidPerfRunEnd::Reason::exited: return "exited";
    case LucidPerfRunEnd::Reason::killedBySignal: return "killedBySignal";
    case LucidPerfRunEnd::Reason::launchFailed: return "launchFailed";
    case LucidPerfRunEnd::Reason::stopped: return "stopped";
  }
  return "unknown";
}

// A run that ended by itself is a failure: the counters were to go on until
// the user stopped them.
CommandError endedRunError(const LucidPerfRunEnd& end) {
  std::string message;
  switch (end.reason) {
    case LucidPerfRunEnd::Reason::exited:
      message = "The LucidLink tool stopped streaming: it exited with status " + std::to_string(end.exitStatus);
      break;
    case LucidPerfRunEnd::Reason::killedBySignal:
      message = "The LucidLink tool stopped streaming: signal " + std::to_string(end.signal) + " ended it";
      break;
    case LucidPerfRunEnd::Reason::launchFailed:
      message = "The LucidLink tool could not be started: " + end.message;
      break;
    case LucidPerfRunEnd::Reason::stopped:
      message = "The performance run was stopped";
      break;
  }
  if (end.reason != LucidPerfRunEnd::Reason::launchFailed && !end.message.empty()) message += " (" + end.message + ")";
  return CommandError("LucidPerfRunEnd", reasonName(end.reason), message, end.systemCode);
}

// Prints each update as it arrives (one line of text, or one JSON object)
// and tells the waiting command when the run is over, or when standard
// output has failed (nothing is printed after that).
class Printer final : public LucidLinkPerformanceUpdateReciever {
 public:
  Printer(bool json, platform::StopSignals& stopSignals) : json_(json), stopSignals_(stopSignals) {}

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
      out << escapedForTerminal(update.timestamp) << "  " << rawValue(update.dataLayer) << ":";
      for (const auto& [metric, text] : update.dictionary) {
        out << "  " << description(metric) << " " << escapedForTerminal(text);
      }
      line = out.str() + "\n";
    }
    if (writeFailure_) return;  // updates of one run never arrive two at once
    try {
      printRaw(line);
    } catch (const WriteError&) {
      writeFailure_ = std::current_exception();
      stopSignals_.wake();
    }
  }

  void didEndPerfRun(std::int32_t, const LucidPerfRunEnd& end) override {
    // The waiting command may return and drop the stop signals as soon as it
    // sees the end, so they are woken first, and nothing is touched after.
    stopSignals_.wake();
    std::lock_guard lock(mutex_);
    end_ = end;
    ended_.notify_all();
  }

  // Blocks until the run's end has been told; its tool is gone by then.
  LucidPerfRunEnd waitForEnd() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return end_.has_value(); });
    return *end_;
  }
  // After the end: how standard output failed, if it did.
  std::exception_ptr writeFailure() const { return writeFailure_; }

 private:
  std::exception_ptr writeFailure_;  // set on the run's thread, read after its end
  bool json_;
  platform::StopSignals& stopSignals_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::optional<LucidPerfRunEnd> end_;
};

std::string metricsHelp(const LayerOption& layer) {
  return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(layer.label[0])))) + (layer.label + 1) +
         " metrics, comma-separated: " + namesOf(metricsFor(layer.layer));
}

}  // namespace

void addPerfCommand(CLI::App& lucid, ClientFactory makeClient, const Options& options, Action& action) {
  auto perf = std::make_shared<PerfOptions>();
  auto* command = lucid.add_subcommand(
      "perf", "Print live performance counters until Ctrl-C; fails when the tool cannot start or stops streaming");
  std::string* names[] = {&perf->fs, &perf->cache, &perf->objectStore};
  for (std::size_t i = 0; i < std::size(kLayerOptions); ++i) {
    auto* option = command->add_option(kLayerOptions[i].option, *names[i], metricsHelp(kLayerOptions[i]));
    option->type_name("M,...");
    std::vector<std::string> metricNames;
    for (const auto metric : metricsFor(kLayerOptions[i].layer)) metricNames.emplace_back(rawValue(metric));
    offerWords(option, std::move(metricNames), /*commaSeparated=*/true);
  }
  command->add_flag("--all", perf->all, "Every layer and metric the tool has (the default)");
  command->callback([command, perf, makeClient, &options, &action] {
    const LucidPerfQuery query = queryOf(*perf, *command);
    action = [query, makeClient, &options] {
      return reportingOnOneLine(options.json, [&] {
        platform::StopSignals stopSignals;  // before the run starts its threads
        auto client = makeClient();
        auto printer = std::make_shared<Printer>(options.json, stopSignals);
        const auto pid = client->runPerf(query, printer);
        const int signal = stopSignals.wait();
        // After a stop the end still comes only once the tool has been reaped,
        // after the follow-up SIGKILL when it ignores the terminate request.
        // Woken without a signal, the run has ended or standard output failed.
        client->cancelProcessWithId(pid);
        const LucidPerfRunEnd end = printer->waitForEnd();
        if (signal != 0) return exitForSignal(signal);
        if (printer->writeFailure()) std::rethrow_exception(printer->writeFailure());
        throw endedRunError(end);
      });
    };
  });
}

}  // namespace velmora::cli
