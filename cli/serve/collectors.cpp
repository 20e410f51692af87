#include "serve/collectors.hpp"

#include <cstdio>

namespace velmora::cli::serve {

void logLine(const std::string& message) {
  std::string line = "velmora-fsutil serve: ";
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);  // one write: lines of threads do not mix
}

void Collectors::add(const std::string& collector) {
  std::lock_guard lock(mutex_);
  states_.try_emplace(collector);
}

void Collectors::finished(const std::string& collector, Clock::time_point start, const std::string& reason) {
  const auto now = Clock::now();
  std::string message;
  {
    std::lock_guard lock(mutex_);
    State& state = states_[collector];
    state.durationSeconds = std::chrono::duration<double>(now - start).count();
    if (reason.empty()) {
      if (!state.reason.empty()) message = collector + " collector recovered";
      state.up = state.collected = true;
      state.lastSuccess = now;
    } else {
      if (reason != state.reason) message = collector + " collector failed: " + reason;
      state.up = false;
      state.errors += 1;
    }
    state.reason = reason;
  }
  changes_.fetch_add(1, std::memory_order_release);
  if (!message.empty()) logLine(message);
}

void Collectors::fresh(const std::string& collector) {
  std::lock_guard lock(mutex_);
  State& state = states_[collector];
  state.collected = true;
  state.lastSuccess = Clock::now();
  changes_.fetch_add(1, std::memory_order_release);
}

std::vector<prometheus::MetricFamily> Collectors::Collect() const {
  using prometheus::MetricType;
  std::vector<prometheus::MetricFamily> families = {
      {"velmora_collector_up", "Whether the collector's last round succeeded (the reason of a failure is logged)",
       MetricType::Gauge, {}},
      {"velmora_collector_duration_seconds", "How long the collector's last round took", MetricType::Gauge, {}},
      {"velmora_collector_errors_total", "Rounds of the collector that failed", MetricType::Counter, {}},
      {"velmora_collector_age_seconds", "Seconds since the collector's values were last collected in full",
       MetricType::Gauge, {}},
  };
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  for (const auto& [name, state] : states_) {
    auto sample = [&name](double value, bool counter = false) {
      prometheus::ClientMetric metric;
      metric.label = {{"collector", name}};
      if (counter) {
        metric.counter.value = value;
      } else {
        metric.gauge.value = value;
      }
      return metric;
    };
    families[0].metric.push_back(sample(state.up ? 1 : 0));
    families[1].metric.push_back(sample(state.durationSeconds));
    families[2].metric.push_back(sample(state.errors, true));
    if (state.collected) families[3].metric.push_back(sample(std::chrono::duration<double>(now - state.lastSuccess).count()));
  }
  return families;
}

}  // namespace velmora::cli::serve
