#include "serve/drive_collector.hpp"

#include <optional>
#include <system_error>
#include <vector>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>

#include "velmora/smart/smart_reader.hpp"

namespace velmora::cli::serve {

namespace {

// One series of one drive, which may come and go with the drive's answers.
template <typename Metric>
class Series {
 public:
  Series(prometheus::Family<Metric>& family, const prometheus::Labels& labels) : family_(family), labels_(labels) {}
  ~Series() { set(std::nullopt); }
  Series(const Series&) = delete;
  Series& operator=(const Series&) = delete;

  // Absent removes the series. A counter is set to the drive's own total;
  // one that went down (a drive reset) starts over.
  void set(std::optional<double> value) {
    if (metric_ && (!value || (Metric::metric_type == prometheus::MetricType::Counter && *value < current()))) {
      family_.Remove(metric_);
      metric_ = nullptr;
    }
    if (!value) return;
    if (!metric_) metric_ = &family_.Add(labels_);
    if constexpr (Metric::metric_type == prometheus::MetricType::Counter) {
      metric_->Increment(*value - metric_->Value());
    } else {
      metric_->Set(*value);
    }
  }

 private:
  double current() const { return metric_->Value(); }
  prometheus::Family<Metric>& family_;
  const prometheus::Labels& labels_;
  Metric* metric_ = nullptr;
};

using GaugeFamily = prometheus::Family<prometheus::Gauge>;
using CounterFamily = prometheus::Family<prometheus::Counter>;

}  // namespace

struct DriveCollector::Families {
  explicit Families(prometheus::Registry& r)
      : up(prometheus::BuildGauge().Name("velmora_drive_smart_up").Help("Whether the drive's last SMART read succeeded").Register(r)),
        temperature(prometheus::BuildGauge().Name("velmora_drive_temperature_celsius").Help("The drive's temperature").Register(r)),
        life(prometheus::BuildGauge().Name("velmora_drive_life_remaining_ratio").Help("Share of the drive's rated life remaining").Register(r)),
        warning(prometheus::BuildGauge().Name("velmora_drive_critical_warning").Help("The drive's NVMe critical warning bits (0: none)").Register(r)),
        read(prometheus::BuildCounter().Name("velmora_drive_read_bytes_total").Help("Bytes read from the drive in its life").Register(r)),
        written(prometheus::BuildCounter().Name("velmora_drive_written_bytes_total").Help("Bytes written to the drive in its life").Register(r)),
        powerOn(prometheus::BuildCounter().Name("velmora_drive_power_on_seconds_total").Help("The drive's power-on time (counted in hours)").Register(r)),
        powerCycles(prometheus::BuildCounter().Name("velmora_drive_power_cycles_total").Help("The drive's power cycles").Register(r)),
        unsafeShutdowns(prometheus::BuildCounter().Name("velmora_drive_unsafe_shutdowns_total").Help("The drive's unsafe shutdowns").Register(r)),
        mediaErrors(prometheus::BuildCounter().Name("velmora_drive_media_errors_total").Help("The drive's media and data integrity errors").Register(r)) {}
  GaugeFamily& up;
  GaugeFamily& temperature;
  GaugeFamily& life;
  GaugeFamily& warning;
  CounterFamily& read;
  CounterFamily& written;
  CounterFamily& powerOn;
  CounterFamily& powerCycles;
  CounterFamily& unsafeShutdowns;
  CounterFamily& mediaErrors;
};

struct DriveCollector::Drive {
  Drive(Families& f, prometheus::Labels l)
      : labels(std::move(l)), up(f.up, labels), temperature(f.temperature, labels), life(f.life, labels),
        warning(f.warning, labels), read(f.read, labels), written(f.written, labels), powerOn(f.powerOn, labels),
        powerCycles(f.powerCycles, labels), unsafeShutdowns(f.unsafeShutdowns, labels), mediaErrors(f.mediaErrors, labels) {}

  void show(const cloud::SMARTData& data) {
    auto given = [](bool has, double value) { return has ? std::optional<double>(value) : std::nullopt; };
    // Kelvin (0 when the drive did not say), less 273 as smartctl and the drives themselves count.
    temperature.set(given(data.temperature() != 0, static_cast<double>(data.temperature()) - 273));
    life.set(given(data.has_life(), static_cast<double>(data.life()) / 100));
    warning.set(static_cast<double>(data.criticalwarning().bits()));
    read.set(static_cast<double>(data.totalread()));
    written.set(static_cast<double>(data.totalwritten()));
    powerOn.set(static_cast<double>(data.poweronhours()) * 3600);
    powerCycles.set(static_cast<double>(data.powercycles()));
    unsafeShutdowns.set(given(data.has_unsafeshutdowns(), static_cast<double>(data.unsafeshutdowns())));
    mediaErrors.set(given(data.has_mediaerrors(), static_cast<double>(data.mediaerrors())));
  }

  const prometheus::Labels labels;  // before the series, which refer to it
  Series<prometheus::Gauge> up, temperature, life, warning;
  Series<prometheus::Counter> read, written, powerOn, powerCycles, unsafeShutdowns, mediaErrors;
};

DriveCollector::DriveCollector(prometheus::Registry& registry, Collectors& collectors, std::chrono::milliseconds interval)
    : interval_(interval), collectors_(collectors), families_(std::make_unique<Families>(registry)) {
  collectors_.add("smart");
}

DriveCollector::~DriveCollector() { stop(); }

void DriveCollector::start() {
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      round();
      lock.lock();
      changed_.wait_for(lock, interval_, [this] { return stopping_; });
    }
  });
}

void DriveCollector::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void DriveCollector::round() {
  const auto start = std::chrono::steady_clock::now();
  const auto& reader = SMARTReader::shared();
  std::vector<SMARTReader::Drive> listed;
  try {
    listed = reader->drives();
  } catch (const std::exception& error) {
    collectors_.finished("smart", start, std::string("listing the drives: ") + error.what());
    return;
  }
  std::map<std::string, std::unique_ptr<Drive>> kept;
  std::vector<std::string> problems;
  for (const auto& listedDrive : listed) {
    prometheus::Labels labels = {{"device", listedDrive.bsdName},
                                 {"model", listedDrive.model.value_or("")},
                                 {"serial", listedDrive.serial.value_or("")}};
    auto known = drives_.find(listedDrive.bsdName);
    std::unique_ptr<Drive> drive;
    if (known != drives_.end() && known->second->labels == labels) drive = std::move(known->second);
    if (known != drives_.end()) drives_.erase(known);  // a changed model or serial: another drive
    if (!drive) drive = std::make_unique<Drive>(*families_, std::move(labels));
    try {
      drive->show(reader->getDriveSMARTData(listedDrive.bsdName));
      drive->up.set(1);
    } catch (const SMARTError& error) {
      drive->up.set(0);
      if (!error.isCompatibilityError()) problems.push_back(listedDrive.bsdName + ": " + error.what());
    } catch (const std::exception& error) {
      drive->up.set(0);
      problems.push_back(listedDrive.bsdName + ": " + error.what());
    }
    kept[listedDrive.bsdName] = std::move(drive);
  }
  drives_ = std::move(kept);  // drives that went take their series with them
  std::string reason;
  for (const auto& problem : problems) reason += (reason.empty() ? "" : "; ") + problem;
  collectors_.finished("smart", start, reason);
}

}  // namespace velmora::cli::serve
