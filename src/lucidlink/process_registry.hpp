// The registry of a client's long-running tool processes (its performance
// runs), so that they can be stopped one by one, all together, or when the
// client goes away.
//
// Changes to the list are short critical sections; processes are always
// stopped after the lock has been released, and stopping never waits (for
// the tool or for a callback of its run), so any of these may be called from
// a run's own callbacks or while another thread is inside one.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora::platform {
class ChildProcess;
}

namespace velmora::detail {

class ProcessRegistry {
 public:
  ProcessRegistry() = default;
  ~ProcessRegistry();  // stops every process still registered
  ProcessRegistry(const ProcessRegistry&) = delete;
  ProcessRegistry& operator=(const ProcessRegistry&) = delete;

  // Appends `process`; done before it is started, so that a process that
  // then fails to start stays registered until it is dropped.
  void add(std::shared_ptr<platform::ChildProcess> process);

  // Removes and stops the entry with this process identifier, if any. When a
  // pid has been reused, the entry whose process is still running wins over
  // entries that have already been reaped.
  void cancel(std::int32_t processIdentifier);

  // Removes and stops every entry, in registration order.
  void stopAll();

  // The process identifiers, in registration order (0 for a process that
  // never started).
  std::vector<std::int32_t> processIdentifiers() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<platform::ChildProcess>> processes_;
};

}  // namespace velmora::detail
