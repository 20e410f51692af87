// The main queue where the system has none that the library can use: a
// dedicated thread of the library.
#include "platform/serial_queue.hpp"

namespace velmora::platform {

void systemMainQueueAsync(std::function<void()> task) {
  // Never destroyed: tasks may still be queued while the process exits.
  static SerialQueue* const mainQueue = new SerialQueue("main");
  mainQueue->async(std::move(task));
}

}  // namespace velmora::platform
