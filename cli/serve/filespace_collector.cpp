#include "serve/filespace_collector.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <optional>

#include "serve/filespace_values.hpp"

namespace velmora::cli::serve {

namespace {

using Clock = std::chrono::steady_clock;
using prometheus::Family;
using prometheus::Gauge;

constexpr std::chrono::milliseconds kFirstRestart{1000};
constexpr std::chrono::milliseconds kLongestRestart{60000};
constexpr std::chrono::seconds kSteadyRun{30};  // a stream that ran this long starts over at the first delay
// How long the library lets a stopped tool act on its terminate request
// before it kills it.
constexpr std::chrono::seconds kToolGrace{3};
const LucidPerfQuery kEveryCounter(std::map<LucidDataLayer, std::vector<LucidPerfMetric>>{{LucidDataLayer::all, {}}});

Family<Gauge>& gaugeFamily(prometheus::Registry& registry, const std::string& name, const std::string& help) {
  return prometheus::BuildGauge().Name(name).Help(help).Register(registry);
}

std::string endText(const LucidPerfRunEnd& end) {
  using Reason = LucidPerfRunEnd::Reason;
  switch (end.reason) {
    case Reason::exited: return "the tool exited with status " + std::to_string(end.exitStatus);
    case Reason::killedBySignal: return "signal " + std::to_string(end.signal) + " ended the tool";
    case Reason::launchFailed: return "the tool could not be started: " + end.message;
    case Reason::stopped: return "stopped";
  }
  return "ended";
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

}  // namespace

struct FilespaceCollector::Families {
  Families(prometheus::Registry& registry, bool userEmail)
      : up(gaugeFamily(registry, "velmora_filespace_up", "Whether the instance answered its last status or cache request")),
        cacheLimit(gaugeFamily(registry, "velmora_filespace_cache_limit_bytes", "The instance's cache limit")),
        cacheSize(gaugeFamily(registry, "velmora_filespace_cache_size_on_disk_bytes", "The instance's cache size on disk")),
        upload(gaugeFamily(registry, "velmora_filespace_upload_remaining_bytes", "Bytes the instance has still to upload")),
        perfUp(gaugeFamily(registry, "velmora_filespace_perf_up", "Whether the instance's performance stream is running")) {
    if (userEmail) userInfo = &gaugeFamily(registry, "velmora_filespace_user_info", "The instance's user (always 1)");
    for (const PerfSeries& series : perfSeries()) {
      perf[static_cast<std::size_t>(series.metric)] =
          &gaugeFamily(registry, series.name, std::string(series.help) + " (the tool's " + std::string(rawValue(series.metric)) +
                                                  ", per layer)");
    }
  }
  Family<Gauge>& up;
  Family<Gauge>& cacheLimit;
  Family<Gauge>& cacheSize;
  Family<Gauge>& upload;
  Family<Gauge>& perfUp;
  Family<Gauge>* userInfo = nullptr;
  std::array<Family<Gauge>*, kPerfMetricCount> perf{};
};

// The receiver of one performance run: it sets the counters' gauges, and
// removes them once closed. Closing waits for an update in progress (the
// lock), so no gauge is touched after it has been removed.
class FilespaceCollector::PerfStream final : public LucidLinkPerformanceUpdateReciever {
 public:
  PerfStream(Families& families, prometheus::Labels labels, Collectors& collectors, std::shared_ptr<Wakeup> wakeup)
      : families_(families), labels_(std::move(labels)), collectors_(collectors), wakeup_(std::move(wakeup)) {}

  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    const auto layer = static_cast<std::size_t>(update.dataLayer);
    {
      std::lock_guard lock(mutex_);
      if (closed_ || layer >= gauges_.size()) return;
      for (const auto& [metric, text] : update.dictionary) {
        const PerfSeries* series = perfSeriesOf(metric);
        if (!series) continue;
        Gauge*& gauge = gauges_[layer][static_cast<std::size_t>(metric)];
        if (!gauge) {
          prometheus::Labels labels = labels_;
          labels["layer"] = std::string(rawValue(update.dataLayer));
          gauge = &families_.perf[static_cast<std::size_t>(metric)]->Add(labels);
        }
        gauge->Set(perfValue(series->kind, text));
      }
    }
    collectors_.fresh("perf");
  }

  void didEndPerfRun(std::int32_t, const LucidPerfRunEnd& end) override {
    {
      std::lock_guard lock(mutex_);
      end_ = end;
      ended_.notify_all();
    }
    std::lock_guard lock(wakeup_->mutex);
    wakeup_->woken = true;
    wakeup_->changed.notify_all();
  }

  std::optional<LucidPerfRunEnd> end() {
    std::lock_guard lock(mutex_);
    return end_;
  }

  bool waitForEnd(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return ended_.wait_until(lock, deadline, [this] { return end_.has_value(); });
  }

  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (auto& layer : gauges_) {
      for (std::size_t metric = 0; metric < layer.size(); ++metric) {
        if (layer[metric]) families_.perf[metric]->Remove(layer[metric]);
        layer[metric] = nullptr;
      }
    }
  }

 private:
  Families& families_;
  const prometheus::Labels labels_;
  Collectors& collectors_;
  std::shared_ptr<Wakeup> wakeup_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool closed_ = false;
  std::optional<LucidPerfRunEnd> end_;
  std::array<std::array<Gauge*, kPerfMetricCount>, 3> gauges_{};
};

struct FilespaceCollector::Instance {
  LucidFileSpaceInfo info;
  std::shared_ptr<BoundedClient> client;
  prometheus::Labels labels;
  Gauge* up = nullptr;
  Gauge* cacheLimit = nullptr;
  Gauge* cacheSize = nullptr;
  Gauge* upload = nullptr;
  Gauge* perfUp = nullptr;
  Gauge* userInfo = nullptr;
  std::shared_ptr<PerfStream> stream;
  std::int32_t streamPid = 0;
  std::string streamProblem;  // why the stream is not running, while it waits for its restart
  Clock::time_point streamStart;
  Clock::time_point restartAt;
  std::chrono::milliseconds restartDelay = kFirstRestart;
};

FilespaceCollector::FilespaceCollector(prometheus::Registry& registry, Collectors& collectors, FilespaceSettings settings)
    : settings_(std::move(settings)),
      collectors_(collectors),
      families_(std::make_unique<Families>(registry, settings_.userEmail)),
      runs_(std::make_shared<ToolRuns>(settings_.toolTimeout, std::size_t{1} << 20)),
      lister_(std::make_shared<BoundedClient>(settings_.tool, std::nullopt, runs_)) {
  collectors_.add("filespaces");
  collectors_.add("perf");
}

FilespaceCollector::~FilespaceCollector() { stop(); }

void FilespaceCollector::start() { thread_ = std::thread([this] { loop(); }); }

void FilespaceCollector::loop() {
  Clock::time_point nextRound = Clock::now();
  for (;;) {
    if (Clock::now() >= nextRound) {
      round();
      nextRound = Clock::now() + settings_.refresh;
    }
    superviseStreams();
    Clock::time_point until = nextRound;
    for (const auto& instance : instances_) {
      if (!instance->stream) until = std::min(until, instance->restartAt);
    }
    std::unique_lock lock(wakeup_->mutex);
    wakeup_->changed.wait_until(lock, until, [this] { return wakeup_->stopping || wakeup_->woken; });
    if (wakeup_->stopping) return;
    wakeup_->woken = false;
  }
}

void FilespaceCollector::round() {
  const auto start = Clock::now();
  std::vector<LucidFileSpaceInfo> listed;
  try {
    listed = lister_->list();
  } catch (const std::exception& error) {
    // The last values stay, with their age; the streams go on.
    collectors_.finished("filespaces", start, std::string("listing the instances: ") + error.what());
    return;
  }
  std::vector<std::string> problems;
  std::vector<std::unique_ptr<Instance>> kept;
  std::vector<LucidFileSpaceInfo> fresh;
  for (const LucidFileSpaceInfo& info : listed) {
    auto known = std::find_if(instances_.begin(), instances_.end(), [&](const auto& i) { return i && i->info == info; });
    if (known != instances_.end()) {
      kept.push_back(std::move(*known));
    } else {
      fresh.push_back(info);
    }
  }
  // Gone first: an instance that changed only its port comes back with the
  // same labels, and must not find its predecessor's series still there.
  for (auto& gone : instances_) {
    if (gone) retire(std::move(gone));
  }
  instances_ = std::move(kept);
  for (const LucidFileSpaceInfo& info : fresh) {
    auto instance = std::make_unique<Instance>();
    instance->info = info;
    instance->client = std::make_shared<BoundedClient>(settings_.tool, info, runs_);
    std::optional<std::string> user;
    try {
      const auto status = instance->client->statusInfo();
      if (!status.mountPoint()) {
        problems.push_back("instance " + info.instanceID + ": its status has no mount point");
        continue;
      }
      instance->labels = {{"instance_id", info.instanceID},
                          {"filespace", info.filespace},
                          {"mode", info.mode},
                          {"mount_point", status.mountPoint()->string()}};
      if (settings_.userEmail) user = status.userEmail().value_or("");
    } catch (const std::exception& error) {
      problems.push_back("instance " + info.instanceID + ": " + error.what());
      continue;
    }
    // Two listed instances with the same labels would share series.
    if (std::any_of(instances_.begin(), instances_.end(), [&](const auto& other) { return other->labels == instance->labels; })) {
      problems.push_back("instance " + info.instanceID + " is listed twice");
      continue;
    }
    instance->up = &families_->up.Add(instance->labels);
    instance->perfUp = &families_->perfUp.Add(instance->labels);
    if (user) {
      prometheus::Labels labels = instance->labels;
      labels["user_email"] = *user;
      instance->userInfo = &families_->userInfo->Add(labels);
      instance->userInfo->Set(1);
    }
    instances_.push_back(std::move(instance));
  }

  for (const auto& instance : instances_) {
    try {
      const auto cache = instance->client->cacheInfo();
      auto bytes = [](const std::optional<std::string>& text) {
        return text ? sizeInBytes(*text).value_or(std::numeric_limits<double>::quiet_NaN())
                    : std::numeric_limits<double>::quiet_NaN();
      };
      // Absent until the first reading: a 0 before it would be a false one.
      if (!instance->cacheLimit) {
        instance->cacheLimit = &families_->cacheLimit.Add(instance->labels);
        instance->cacheSize = &families_->cacheSize.Add(instance->labels);
        instance->upload = &families_->upload.Add(instance->labels);
      }
      instance->cacheLimit->Set(bytes(cache.cacheLimit()));
      instance->cacheSize->Set(bytes(cache.sizeOnDisk()));
      instance->upload->Set(bytes(cache.bytesRemainingToUpload()));
      instance->up->Set(1);
    } catch (const std::exception& error) {
      instance->up->Set(0);
      problems.push_back("instance " + instance->info.instanceID + ": " + error.what());
    }
  }
  std::erase_if(retiredStreams_, [](const auto& stream) { return stream->end().has_value(); });
  {
    // A round the stop cut short failed for no fault worth logging.
    std::lock_guard lock(wakeup_->mutex);
    if (wakeup_->stopping) return;
  }
  collectors_.finished("filespaces", start, joined(problems));
}

void FilespaceCollector::superviseStreams() {
  const auto now = Clock::now();
  bool changed = false;
  for (const auto& instance : instances_) {
    if (instance->stream) {
      const auto end = instance->stream->end();
      if (!end) continue;
      // It ended by itself: its counters and its registry entry go, and it
      // starts again later.
      instance->client->cancelProcessWithId(instance->streamPid);
      instance->stream->close();
      instance->stream.reset();
      instance->perfUp->Set(0);
      instance->restartDelay = now - instance->streamStart >= kSteadyRun
                                   ? kFirstRestart
                                   : std::min(instance->restartDelay * 2, kLongestRestart);
      instance->restartAt = now + instance->restartDelay;
      instance->streamProblem = "instance " + instance->info.instanceID + ": performance stream ended: " + endText(*end);
      changed = true;
    } else if (now >= instance->restartAt) {
      instance->stream = std::make_shared<PerfStream>(*families_, instance->labels, collectors_, wakeup_);
      instance->streamStart = now;
      instance->streamProblem.clear();
      instance->perfUp->Set(1);
      instance->streamPid = instance->client->runPerf(kEveryCounter, instance->stream);
      changed = true;
    }
  }
  if (!changed) return;
  std::vector<std::string> problems;
  for (const auto& instance : instances_) {
    if (!instance->streamProblem.empty()) problems.push_back(instance->streamProblem);
  }
  collectors_.finished("perf", now, joined(problems));
}

void FilespaceCollector::retire(std::unique_ptr<Instance> instance) {
  instance->client->killAllProcesses();
  if (instance->stream) {
    instance->stream->close();
    retiredStreams_.push_back(instance->stream);
  }
  families_->up.Remove(instance->up);
  if (instance->cacheLimit) {
    families_->cacheLimit.Remove(instance->cacheLimit);
    families_->cacheSize.Remove(instance->cacheSize);
    families_->upload.Remove(instance->upload);
  }
  families_->perfUp.Remove(instance->perfUp);
  if (instance->userInfo) families_->userInfo->Remove(instance->userInfo);
}

bool FilespaceCollector::stop() {
  {
    std::lock_guard lock(wakeup_->mutex);
    if (wakeup_->stopping && !thread_.joinable()) return true;
    wakeup_->stopping = true;
    wakeup_->changed.notify_all();
  }
  runs_->stopAll();
  if (thread_.joinable()) thread_.join();
  std::vector<std::shared_ptr<PerfStream>> streams = std::move(retiredStreams_);
  for (const auto& instance : instances_) {
    instance->client->killAllProcesses();
    if (instance->stream) streams.push_back(instance->stream);
  }
  // One-shot commands are over once the thread is: each returns when its
  // tool is gone. The streams end on their own monitor threads.
  const auto deadline = Clock::now() + kToolGrace + std::chrono::seconds(2);
  bool allGone = true;
  for (const auto& stream : streams) allGone = stream->waitForEnd(deadline) && allGone;
  return allGone;
}

}  // namespace velmora::cli::serve
