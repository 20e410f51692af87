// The main queue: where the library delivers change notifications.
//
// By default it is a dedicated thread of the library that runs its tasks one
// at a time in order. A host application with a run loop of its own installs
// an executor that hands each task to that loop instead; the executor must run
// the tasks one at a time, in the order given.
#pragma once

#include <functional>

namespace velmora {

using MainQueueExecutor = std::function<void(std::function<void()> task)>;

// Installs `executor` for tasks queued from now on; an empty executor
// restores the library's own thread.
void setMainQueueExecutor(MainQueueExecutor executor);

}  // namespace velmora
