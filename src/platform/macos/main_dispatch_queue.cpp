// The main queue on macOS: the application's main dispatch queue, which its
// run loop serves on the main thread, where Cocoa and SwiftUI views may be
// updated.
#include <dispatch/dispatch.h>

#include <memory>

#include "platform/serial_queue.hpp"

namespace velmora::platform {

namespace {

void runTask(void* context) {
  const std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(context));
  try {
    (*task)();
  } catch (...) {
    // Nobody waits for this task's outcome, and an exception must not
    // unwind into dispatch.
  }
}

}  // namespace

void systemMainQueueAsync(std::function<void()> task) {
  dispatch_async_f(dispatch_get_main_queue(), new std::function<void()>(std::move(task)), runTask);
}

}  // namespace velmora::platform
