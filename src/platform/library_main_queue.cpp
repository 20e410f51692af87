// The main queue where the system has none that the library can use: a
// dedicated thread of the library.
#include "platform/serial_queue.hpp"
#include "velmora/main_queue.hpp"

namespace velmora::platform {

void systemMainQueueAsync(std::function<void()> task) { libraryThreadExecutor()(std::move(task)); }

}  // namespace velmora::platform
