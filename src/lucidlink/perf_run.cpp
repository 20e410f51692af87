#include <system_error>

#include "isolated_call.hpp"
#include "lucidlink/perf_stream_parser.hpp"
#include "lucidlink/client_impl.hpp"
#include "platform/process.hpp"
#include "platform/serial_queue.hpp"
#include "velmora/diagnostics.hpp"
#include "velmora/lucidlink/lucid_link_cli_utility.hpp"

namespace velmora {

namespace {

using Receiver = LucidLinkPerformanceUpdateReciever;

// Passes updates on until the run has been stopped, so that a receiver
// hears nothing once a stop call has returned, also when it stopped its own
// run in the middle of a block. A receiver that throws misses only that
// update.
class GuardedReceiver final : public Receiver {
 public:
  GuardedReceiver(Receiver& receiver, const std::atomic<bool>& stopped) : receiver_(receiver), stopped_(stopped) {}
  void didReceivePerfUpdate(const LucidPerfUpdate& update) override {
    if (stopped_) return;
    detail::callIsolated("performance update receiver", [&] { receiver_.didReceivePerfUpdate(update); });
  }

 private:
  Receiver& receiver_;
  const std::atomic<bool>& stopped_;
};

LucidPerfRunEnd endOf(platform::ExitStatus status, bool stopped, int outputError) {
  LucidPerfRunEnd end;
  if (stopped) {
    end.reason = LucidPerfRunEnd::Reason::stopped;
  } else if (status.signaled) {
    end.reason = LucidPerfRunEnd::Reason::killedBySignal;
  } else {
    end.reason = LucidPerfRunEnd::Reason::exited;
  }
  (status.signaled ? end.signal : end.exitStatus) = status.code;
  if (outputError != 0) {
    end.message = "Reading the tool's output failed: " + std::system_category().message(outputError);
    end.systemCode = outputError;
  }
  return end;
}

void deliverEnd(const std::weak_ptr<Receiver>& receiver, std::int32_t pid, const LucidPerfRunEnd& end) {
  if (const auto live = receiver.lock()) {
    detail::callIsolated("performance update receiver", [&] { live->didEndPerfRun(pid, end); });
  }
}

}  // namespace

std::int32_t LucidLinkCLIUtility::runPerf(const LucidPerfQuery& query, std::weak_ptr<Receiver> updatesReciver) {
  std::vector<std::string> arguments;
  if (auto id = instanceID()) arguments = {"--instance", std::move(*id)};
  for (auto& word : query.arguments()) arguments.push_back(std::move(word));

  auto process = std::make_shared<platform::ChildProcess>(launchPath(), std::move(arguments));
  // Registered before it starts: a process that cannot start stays
  // registered until it is cancelled.
  impl_->processes.add(process);

  // The run's state lives in the output handler, on the process's monitor
  // thread; the stop flag lives as long as that thread.
  auto stream = std::make_shared<detail::PerfLineStream>();
  const std::atomic<bool>* stopped = &process->stopFlag();
  auto onOutput = [receiver = updatesReciver, stream, stopped](std::string_view block) {
    const auto live = receiver.lock();
    if (!live) {
      emitWarning("Update reciver went out of scope!");
      return;
    }
    GuardedReceiver guarded(*live, *stopped);
    stream->feed(block, guarded);
  };
  auto onEnd = [receiver = updatesReciver](std::int32_t pid, platform::ExitStatus status, bool wasStopped,
                                           int outputError) {
    deliverEnd(receiver, pid, endOf(status, wasStopped, outputError));
  };
  try {
    process->start(std::move(onOutput), std::move(onEnd));
  } catch (const std::system_error& error) {
    const std::string reason = error.what();
    emitWarning("Failed to run lucid perf: " + reason);
    LucidPerfRunEnd end;
    end.reason = LucidPerfRunEnd::Reason::launchFailed;
    end.message = reason;
    end.systemCode = error.code().value();
    // Like every other callback of a run, never on the caller's thread.
    platform::globalQueueAsync([receiver = std::move(updatesReciver), end] { deliverEnd(receiver, 0, end); });
  }
  return process->pid();
}

}  // namespace velmora
