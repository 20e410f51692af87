// What the command-line front end needs of its terminal and process: whether
// a standard stream is a terminal, a password read without echo, and stop
// requests (Ctrl-C, kill, a closed terminal) taken as events instead of
// ending the process at once.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace velmora::platform {

enum class StandardStream { input, output, error };

bool isTerminal(StandardStream stream) noexcept;

// The width of the terminal behind `stream`, or 80 when it is none.
int terminalColumns(StandardStream stream) noexcept;

// Reads one line from standard input, without its line end (a carriage
// return before the line feed included). On a terminal, `prompt` goes to
// standard error first and the typed text is not echoed; the terminal is
// restored afterwards, also when a stop signal ends the process meanwhile.
// Absent at the end of input with nothing read.
std::optional<std::string> readLineWithoutEcho(std::string_view prompt);

// SIGINT, SIGTERM and SIGHUP as events. Construction blocks the three
// signals in the calling thread, so it must come before the process starts
// any other thread: those inherit the mask, and the signals then reach only
// the watcher started here. Children started through platform/process get
// the default mask back. The signals stay blocked after destruction. A
// signal that was ignored at construction (nohup, a background job) stays
// ignored.
class StopSignals {
 public:
  // `onStop` runs on the watcher thread once, with the first stop signal,
  // for work that must begin at once (cancelling a zip); it must not throw.
  explicit StopSignals(std::function<void(int signal)> onStop = {});
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Blocks until a stop signal has arrived or wake() has been called, and
  // returns the first signal's number, or 0 when only wake() was called.
  int wait();
  // Ends a wait() in progress or the next one; any thread, any time.
  void wake() noexcept;

 private:
  void watch();

  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void(int)> onStop_;
  unsigned ignored_ = 0;  // bit N: signal N was ignored at construction
  int signal_ = 0;
  bool woken_ = false;
  bool closing_ = false;
  std::thread watcher_;
};

}  // namespace velmora::platform
