// Threads that may outlive the object that started them: a child's monitor
// and a task on the global queue. Each is counted from its start until its
// body has returned and what the body captured has been released, so that a
// program can wait for them before it exits. A leak checker at exit scans
// only the threads it manages to stop, and a thread that is still ending
// holds what it was handed.
#pragma once

#include <chrono>
#include <functional>

namespace velmora::platform {

// Starts `body` on a new, detached thread, counted until `body` has returned
// (or thrown: the exception is dropped, as nobody waits for it) and has been
// destroyed. Throws std::system_error, as std::thread does, when no thread
// can be started; the count is then unchanged.
void startCountedThread(std::function<void()> body);

// Waits until no counted thread is running, or `timeout` has passed; true if
// none is running.
bool waitForCountedThreads(std::chrono::milliseconds timeout);

}  // namespace velmora::platform
