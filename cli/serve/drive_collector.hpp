// The drive series: per whole drive of the machine (labels device, model and
// serial; the last two empty where the platform gives none) whether its
// SMART read succeeded, and from the last good read its temperature, life
// remaining, data read and written, power-on time, power cycles, unsafe
// shutdowns, media errors and critical warning bits.
//
// One background thread reads every drive each `interval` (SMART is not
// free), through the library's shared reader. A drive whose read fails keeps
// its last values, with `velmora_drive_smart_up` 0; a drive that merely
// offers no SMART (a compatibility error: USB sticks, virtual disks) does not
// fail the collector, any other failure does (no privilege, say). Where the
// library lists no drives (so far every platform but Linux) the collector is
// down with that reason.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <prometheus/registry.h>

#include "serve/collectors.hpp"

namespace velmora::cli::serve {

class DriveCollector {
 public:
  DriveCollector(prometheus::Registry& registry, Collectors& collectors, std::chrono::milliseconds interval);
  ~DriveCollector();

  void start();
  // Waits for a read in progress: a drive command has its own timeout.
  void stop();

  struct Families;
  struct Drive;

 private:
  void round();

  std::chrono::milliseconds interval_;
  Collectors& collectors_;
  std::unique_ptr<Families> families_;
  std::map<std::string, std::unique_ptr<Drive>> drives_;  // by device; the thread's own
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace velmora::cli::serve
