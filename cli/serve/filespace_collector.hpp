// The filespace series: per running instance (labels instance_id,
// filespace, mode, mount_point) whether it answers, its cache limit, size on
// disk and bytes left to upload, and every counter of its performance stream
// (with a `layer` label).
//
// One background thread lists the instances every `refresh` seconds, asks
// each new one once for its mount point, and each listed one for its cache
// report; an instance without a mount point is left out and asked again next
// round, as the library's manager does. (The manager itself is not used: its
// tool runs cannot be bounded or stopped, and a hung `list` would then keep
// the exporter from ever stopping cleanly.) The same thread keeps one
// performance stream per instance: started when the instance appears,
// stopped when it goes, and restarted when it ends by itself, one second
// later at first and up to a minute later while it keeps ending within 30
// seconds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include "serve/bounded_client.hpp"
#include "serve/collectors.hpp"

namespace velmora::cli::serve {

struct FilespaceSettings {
  std::string tool;
  std::chrono::milliseconds refresh{10000};
  std::chrono::milliseconds toolTimeout{10000};
  bool userEmail = false;  // the status's user as a label of velmora_filespace_user_info
};

class FilespaceCollector {
 public:
  FilespaceCollector(prometheus::Registry& registry, Collectors& collectors, FilespaceSettings settings);
  ~FilespaceCollector();

  void start();
  // Stops every tool the collector started and waits until each is gone
  // (the library kills one that ignores the terminate request after its
  // grace period). False when one could not be confirmed gone in time.
  bool stop();

  struct Families;
  struct Instance;
  class PerfStream;

 private:
  void loop();
  void round();
  void superviseStreams();
  void retire(std::unique_ptr<Instance> instance);

  FilespaceSettings settings_;
  Collectors& collectors_;
  std::unique_ptr<Families> families_;
  std::shared_ptr<ToolRuns> runs_;
  std::shared_ptr<BoundedClient> lister_;
  std::vector<std::unique_ptr<Instance>> instances_;       // the collector thread's own
  std::vector<std::shared_ptr<PerfStream>> retiredStreams_;  // stopped, their ends awaited at stop()

  struct Wakeup {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    bool woken = false;
  };
  std::shared_ptr<Wakeup> wakeup_ = std::make_shared<Wakeup>();
  std::thread thread_;
};

}  // namespace velmora::cli::serve
