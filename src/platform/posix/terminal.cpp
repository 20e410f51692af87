#include "platform/terminal.hpp"

#include <csignal>
#include <cstdio>
#include <iostream>

#include <pthread.h>
#include <termios.h>
#include <unistd.h>

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

extern "C" void restoreTerminalAndDie(int signal) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

bool isTerminal(StandardStream stream) noexcept {
  switch (stream) {
    case StandardStream::input: return ::isatty(STDIN_FILENO) == 1;
    case StandardStream::output: return ::isatty(STDOUT_FILENO) == 1;
    case StandardStream::error: return ::isatty(STDERR_FILENO) == 1;
  }
  return false;
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

StopSignals::StopSignals() {
  const sigset_t set = stopSignalSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
  watcher_ = std::thread([this] { watch(); });
}

StopSignals::~StopSignals() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  // Directed at the watcher, which takes it from its sigwait and sees closing_.
  ::pthread_kill(watcher_.native_handle(), SIGHUP);
  watcher_.join();
}

void StopSignals::watch() {
  const sigset_t set = stopSignalSet();
  for (;;) {
    int signal = 0;
    if (::sigwait(&set, &signal) != 0) continue;
    std::lock_guard lock(mutex_);
    if (closing_) return;
    if (signal_ == 0) signal_ = signal;
    changed_.notify_all();
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
