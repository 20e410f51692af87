// What the command-line front end needs of its terminal and process: whether
// a standard stream is a terminal, a password read without echo, standard
// output written with every failure seen, and stop requests (Ctrl-C, kill, a
// closed terminal) taken as events instead of ending the process at once.
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

// Opens /dev/null on standard input, output and error where they are
// closed, in a mode that makes using them fail (EBADF), as gnulib's stdopen
// does: otherwise the first file or pipe this process opens would take their
// number, and results would be written into it. Call it first in main.
void guardStandardDescriptors() noexcept;

// Makes a write to a closed pipe fail with EPIPE instead of ending the
// process at once, so that a command can stop its tool first. Returns whether
// SIGPIPE had its default action before: the process should then end by it,
// quietly, once it has cleaned up (endByBrokenPipe).
bool catchBrokenPipe() noexcept;

// Ends the process by SIGPIPE's default action (a shell reports 141).
[[noreturn]] void endByBrokenPipe() noexcept;

// Writes all of `bytes` to standard output, without stdio's buffer. Throws
// std::system_error with the errno of a failed write (EPIPE, ENOSPC, EBADF
// ...). Once stopWaitingForStandardOutput() has been called, bytes pass
// only while standard output takes them without waiting; the rest is
// dropped. Not for concurrent use: callers write one at a time.
void writeStandardOutput(std::string_view bytes);

// For a command being stopped: a write that waits on standard output (its
// reader has stopped reading) returns, and no later one waits. Any thread.
void stopWaitingForStandardOutput() noexcept;

// SIGINT, SIGTERM and SIGHUP as events. Construction blocks the three
// signals in the calling thread, so it must come before the process starts
// any other thread: those inherit the mask, and the signals then reach only
// the watcher started here. Children started through platform/process get
// the default mask back. The signals stay blocked after destruction. A
// signal that was ignored at construction (nohup, a background job) stays
// ignored. From the first stop signal on, standard output is no longer
// waited for (stopWaitingForStandardOutput), so that a stalled reader cannot
// hold a stopping command.
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
