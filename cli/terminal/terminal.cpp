#include "terminal/terminal.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "errno_calls.hpp"

namespace velmora::platform {

namespace {

sigset_t stopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// The terminal settings to put back if a signal ends the process while echo
// is off. Written before the handlers are installed, read only by them.
termios savedTerminal;

extern "C" void doNothing(int) {}

extern "C" void restoreTerminalAndDie(int signal) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// The watcher takes a stop signal the process ignores too (it needs SIGHUP
// to close), but lets it pass.
bool isIgnored(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

namespace {

int descriptorOf(StandardStream stream) {
  switch (stream) {
    case StandardStream::input: return STDIN_FILENO;
    case StandardStream::output: return STDOUT_FILENO;
    case StandardStream::error: return STDERR_FILENO;
  }
  return -1;
}

}  // namespace

void guardStandardDescriptors() noexcept {
  // In order, so that open() returns the very number that is missing.
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
  }
}

bool catchBrokenPipe() noexcept {
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, &previous);
  return previous.sa_handler == SIG_DFL;
}

void endByBrokenPipe() noexcept {
  std::signal(SIGPIPE, SIG_DFL);
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
  std::raise(SIGPIPE);
  ::_exit(128 + SIGPIPE);
}

namespace {

// Readable once stopWaitingForStandardOutput() has been called; created on
// first use, after guardStandardDescriptors() has run. Without it, writes
// simply wait. Close-on-exec: no tool started here inherits it.
struct OutputWake {
  int read = -1, write = -1;
};
const OutputWake& outputWake() {
  static const OutputWake wake = [] {
    int fds[2];
    if (::pipe(fds) != 0) return OutputWake{};
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return OutputWake{fds[0], fds[1]};
  }();
  return wake;
}

bool outputIsPipeOrSocket() {
  struct stat status {};
  return ::fstat(STDOUT_FILENO, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
}

// The most one write may hand to standard output without waiting once poll
// has said it is writable: other files take anything, a pipe or socket
// PIPE_BUF at least, and an empty pipe its whole capacity.
std::size_t writableAtOnce(std::size_t wanted) {
  static const bool pipeOrSocket = outputIsPipeOrSocket();
  if (!pipeOrSocket) return wanted;
#ifdef __linux__
  int unread = 0;
  const int capacity = ::fcntl(STDOUT_FILENO, F_GETPIPE_SZ);
  if (capacity > 0 && ::ioctl(STDOUT_FILENO, FIONREAD, &unread) == 0 && unread == 0) {
    return std::min(wanted, static_cast<std::size_t>(capacity));
  }
#endif
  return std::min<std::size_t>(wanted, PIPE_BUF);
}

}  // namespace

void writeStandardOutput(std::string_view bytes) {
  const int wake = outputWake().read;
  while (!bytes.empty()) {
    pollfd fds[2] = {{STDOUT_FILENO, POLLOUT, 0}, {wake, POLLIN, 0}};
    if (retryOnInterrupt([&] { return ::poll(fds, wake >= 0 ? 2 : 1, -1); }) < 0) throwErrno(errno, "write");
    // Errors and a closed reader show as events too: the write reports them.
    if (fds[0].revents == 0) return;  // no longer waited for: the rest is dropped
    const ssize_t written =
        retryOnInterrupt([&] { return ::write(STDOUT_FILENO, bytes.data(), writableAtOnce(bytes.size())); });
    if (written < 0) {
      if (errno == EAGAIN) continue;
      throwErrno(errno, "write");
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void stopWaitingForStandardOutput() noexcept {
  if (const int wake = outputWake().write; wake >= 0) (void)!::write(wake, "x", 1);
}

bool isTerminal(StandardStream stream) noexcept { return ::isatty(descriptorOf(stream)) == 1; }

int terminalColumns(StandardStream stream) noexcept {
  winsize size{};
  if (::ioctl(descriptorOf(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::optional<std::string> readLineWithoutEcho(std::string_view prompt) {
  std::string line;
  auto readLine = [&line]() -> bool {
    if (!std::getline(std::cin, line) && line.empty()) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  };
  if (!isTerminal(StandardStream::input) || ::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
    if (!readLine()) return std::nullopt;
    return line;
  }

  struct sigaction restoring {};
  restoring.sa_handler = restoreTerminalAndDie;
  sigemptyset(&restoring.sa_mask);
  struct sigaction previous[3];
  const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
  for (int i = 0; i < 3; ++i) ::sigaction(signals[i], &restoring, &previous[i]);
  termios silent = savedTerminal;
  silent.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  // Echo goes off before the prompt shows, and what was typed ahead is
  // dropped, so that no part of the password is ever echoed.
  ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  std::fwrite(prompt.data(), 1, prompt.size(), stderr);
  std::fflush(stderr);

  const bool read = readLine();

  ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  for (int i = 0; i < 3; ++i) ::sigaction(signals[i], &previous[i], nullptr);
  std::fputc('\n', stderr);  // the line feed the user typed was not echoed
  if (!read) return std::nullopt;
  return line;
}

StopSignals::StopSignals(std::function<void(int)> onStop) : onStop_(std::move(onStop)) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    if (isIgnored(signal)) ignored_ |= 1u << signal;
  }
  const sigset_t set = stopSignalSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  watcher_ = std::thread([this] { watch(); });
}

StopSignals::~StopSignals() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  // Directed at the watcher, which takes it from its sigwait and sees
  // closing_. POSIX leaves open whether an ignored signal stays pending
  // while blocked, so an ignored SIGHUP gets a handler that does nothing for
  // as long as this takes.
  struct sigaction previous {};
  const bool ignored = (ignored_ & (1u << SIGHUP)) != 0;
  if (ignored) {
    struct sigaction waking {};
    waking.sa_handler = doNothing;
    sigemptyset(&waking.sa_mask);
    ::sigaction(SIGHUP, &waking, &previous);
  }
  ::pthread_kill(watcher_.native_handle(), SIGHUP);
  watcher_.join();
  if (ignored) ::sigaction(SIGHUP, &previous, nullptr);
}

void StopSignals::watch() {
  const sigset_t set = stopSignalSet();
  for (;;) {
    int signal = 0;
    if (::sigwait(&set, &signal) != 0) continue;
    {
      std::lock_guard lock(mutex_);
      if (closing_) return;
      if ((ignored_ & (1u << signal)) != 0 || signal_ != 0) continue;
      signal_ = signal;
      changed_.notify_all();
    }
    if (onStop_) onStop_(signal);
    stopWaitingForStandardOutput();
  }
}

int StopSignals::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return signal_ != 0 || woken_; });
  return signal_;
}

void StopSignals::wake() noexcept {
  std::lock_guard lock(mutex_);
  woken_ = true;
  changed_.notify_all();
}

}  // namespace velmora::platform
