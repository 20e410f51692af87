#include <system_error>

#include "lucidlink/perf_parser.hpp"
#include "platform/process.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

namespace {

// Passes updates on until the run has been stopped, so that a receiver
// hears nothing once a stop call has returned, also when it stopped its
// own run in the middle of a block.
class StopAwareReceiver final : public LucidLinkPerformanceUpdateReciever {
 public:
  StopAwareReceiver(LucidLinkPerformanceUpdateReciever& receiver, const std::atomic<bool>& stopped)
      : receiver_(receiver), stopped_(stopped) {}
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    if (!stopped_) receiver_.didReceivePerfUpdate(update);
  }

 private:
  LucidLinkPerformanceUpdateReciever& receiver_;
  const std::atomic<bool>& stopped_;
};

}  // namespace

std::int32_t LucidLinkCLIUtility::runPerf(const LucidPerfQuery& query,
                                          std::weak_ptr<LucidLinkPerformanceUpdateReciever> updatesReciver) {
  std::vector<std::string> arguments;
  if (auto id = instanceID()) arguments = {"--instance", std::move(*id)};
  for (auto& word : query.arguments()) arguments.push_back(std::move(word));

  auto process = std::make_shared<platform::ChildProcess>(launchPath(), std::move(arguments));
  // Registered before it starts: a process that cannot start stays
  // registered until it is cancelled.
  registerProcess(process);

  // The run's state lives in the output handler, on the process's monitor thread.
  auto stream = std::make_shared<detail::PerfLineStream>();
  const std::atomic<bool>* stopped = &process->stopFlag();
  try {
    process->start([receiver = std::move(updatesReciver), stream, stopped](std::string_view block) {
      const auto live = receiver.lock();
      if (!live) {
        emitWarning("Update reciver went out of scope!");
        return;
      }
      StopAwareReceiver guarded(*live, *stopped);
      stream->feed(block, guarded);
    });
  } catch (const std::system_error& error) {
    emitWarning(std::string("Failed to run lucid perf: ") + error.what());
  }
  return process->pid();
}

}  // namespace velmora
