/// @file
/// The main queue: where the library delivers change notifications and shows
/// its alerts.
///
/// By default it is, on macOS, the application's main dispatch queue, served
/// by its run loop on the main thread (where Cocoa and SwiftUI views may be
/// updated); a program whose main thread serves no run loop (nor
/// dispatch_main) never sees those tasks run, and must install an executor,
/// libraryThreadExecutor() for instance. Elsewhere it is a dedicated thread of
/// the library that runs its tasks one at a time in order. A host
/// installs an executor to hand each task to a loop or thread of its own
/// instead; the executor must run the tasks one at a time, in the order given.
#pragma once

#include <functional>

namespace velmora {

/// Runs the tasks it is handed, one at a time, in the order given.
using MainQueueExecutor = std::function<void(std::function<void()> task)>;

/// Installs `executor` for tasks queued from now on; an empty executor
/// restores the default.
void setMainQueueExecutor(MainQueueExecutor executor);

/// An executor that runs the tasks on a thread of the library's own, one at a
/// time in order: the default off macOS, and what a command-line program on
/// macOS installs. The thread starts with the first task, and inherits the
/// signal mask of the thread that queues it.
MainQueueExecutor libraryThreadExecutor();

}  // namespace velmora
