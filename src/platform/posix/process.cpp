#include "platform/process.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/unique_fd.hpp"

#ifdef __APPLE__
#include <crt_externs.h>
#else
extern char** environ;
#endif

namespace velmora::platform {

namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
  throw std::system_error(error, std::system_category(), what);
}

char** hostEnvironment() {
#ifdef __APPLE__
  return *_NSGetEnviron();
#else
  return environ;
#endif
}

struct Spawned {
  pid_t pid;
  UniqueFd output;
};

// RAII holders for the posix_spawn description objects.
class SpawnActions {
 public:
  SpawnActions() {
    if (int rc = ::posix_spawn_file_actions_init(&actions_); rc != 0) throwErrno(rc, "posix_spawn");
  }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() {
    if (int rc = ::posix_spawnattr_init(&attributes_); rc != 0) throwErrno(rc, "posix_spawn");
  }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

Spawned spawnWithOutputPipe(const std::string& path, const std::vector<std::string>& arguments,
                            bool largePipe) {
  Pipe pipe = makePipe();
#ifdef __linux__
  // A larger buffer lets a chatty tool run ahead of the reader with far
  // fewer context switches; refused sizes are fine to ignore.
  if (largePipe) ::fcntl(pipe.readEnd.get(), F_SETPIPE_SZ, 1 << 20);
#else
  (void)largePipe;
#endif

  SpawnActions actions;
  if (int rc = ::posix_spawn_file_actions_adddup2(actions.get(), pipe.writeEnd.get(), STDOUT_FILENO);
      rc != 0)
    throwErrno(rc, "posix_spawn");

  SpawnAttributes attributes;
  // The child starts with an empty signal mask and default actions for the
  // signals that stop it, whatever the host application blocks or ignores:
  // otherwise a stopped tool might never notice SIGTERM or a closed pipe.
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef __APPLE__
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
  ::posix_spawn_file_actions_addinherit_np(actions.get(), STDIN_FILENO);
  ::posix_spawn_file_actions_addinherit_np(actions.get(), STDERR_FILENO);
#endif
  ::posix_spawnattr_setsigmask(attributes.get(), &empty);
  ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  ::posix_spawnattr_setflags(attributes.get(), flags);

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int rc =
      ::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), hostEnvironment());
  if (rc != 0) throwErrno(rc, "Cannot launch " + path);
  return Spawned{pid, std::move(pipe.readEnd)};  // the write end closes here, in the parent
}

int waitForChild(pid_t pid) noexcept {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Large output buffers are faulted in far faster as huge pages; where the
// system does not offer them this is a hint that changes nothing.
void adviseHugePages([[maybe_unused]] char* data, [[maybe_unused]] std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// Reads straight into the string that is returned, so that a large output is
// written to memory once: the capacity grows fourfold (few copies of what was
// read so far), and the string is sized (so zero-filled) one slice ahead of
// what has been read, a slice small enough to stay in cache until the read
// fills it.
class OutputBuffer {
 public:
  OutputBuffer() { data_.reserve(kFirstCapacity); }

  // Where the next read goes. When the capacity is used up, a small side
  // buffer takes the next read: an output that has just filled it exactly
  // is then not copied into a four times larger string only to find its end.
  std::pair<char*, std::size_t> space() {
    if (used_ == data_.capacity()) return {side_, sizeof side_};
    if (used_ == data_.size()) data_.resize(std::min(data_.capacity(), used_ + kSlice));
    return {data_.data() + used_, data_.size() - used_};
  }
  void commit(const char* at, std::size_t count) {
    if (at != side_) {
      used_ += count;
      return;
    }
    data_.resize(used_);
    data_.reserve(std::max(kFirstCapacity, data_.capacity() * 4));
    adviseHugePages(data_.data(), data_.capacity());
    data_.append(side_, count);
    used_ = data_.size();
  }
  std::string take() && {
    data_.resize(used_);
    return std::move(data_);
  }

 private:
  static constexpr std::size_t kFirstCapacity = 64 * 1024;
  static constexpr std::size_t kSlice = 1024 * 1024;
  std::string data_;
  std::size_t used_ = 0;
  char side_[16 * 1024];
};

}  // namespace

ExitStatus ExitStatus::fromWaitStatus(int waitStatus) noexcept {
  if (WIFSIGNALED(waitStatus)) return ExitStatus{true, WTERMSIG(waitStatus)};
  return ExitStatus{false, WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 0};
}

CompletedRun runToEnd(const std::string& path, const std::vector<std::string>& arguments,
                      const OutputObserver& observer) {
  Spawned child = spawnWithOutputPipe(path, arguments, /*largePipe=*/true);
  // Reaped on every path; the read end is closed first so that a child still
  // writing gets SIGPIPE instead of blocking the wait.
  struct Reaper {
    Spawned& child;
    int waitStatus = 0;
    bool reaped = false;
    int reap() {
      if (!reaped) {
        child.output.reset();
        waitStatus = waitForChild(child.pid);
        reaped = true;
      }
      return waitStatus;
    }
    ~Reaper() { reap(); }
  } reaper{child};

  OutputBuffer output;
  for (;;) {
    auto [buffer, room] = output.space();
    const ssize_t count = ::read(child.output.get(), buffer, room);
    if (count < 0) {
      if (errno == EINTR) continue;
      throwErrno(errno, "read");
    }
    if (count == 0) break;
    if (observer) observer(std::string_view(buffer, static_cast<std::size_t>(count)));
    output.commit(buffer, static_cast<std::size_t>(count));
  }
  const ExitStatus status = ExitStatus::fromWaitStatus(reaper.reap());
  return CompletedRun{std::move(output).take(), status};
}

struct ChildProcess::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool startAttempted = false;
  bool started = false;
  bool reaped = false;
  bool stopRequested = false;
  bool killed = false;
  pid_t pid = 0;
  UniqueFd output;
  UniqueFd wakeRead;   // readable once stop() has been called
  UniqueFd wakeWrite;
  std::chrono::steady_clock::time_point stopTime;
  OutputObserver onOutput;
  std::atomic<bool> stopped{false};
  std::mutex callingOutput;  // held by the monitor while it calls onOutput
  std::atomic<std::thread::id> monitorThread{};
};

namespace {

void readUntilEndOrStop(ChildProcess::State& state) {
  std::vector<char> buffer(64 * 1024);
  pollfd fds[2] = {{state.output.get(), POLLIN, 0}, {state.wakeRead.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    const ssize_t count = ::read(fds[0].fd, buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    if (count == 0) return;
    std::lock_guard calling(state.callingOutput);
    if (state.stopped) return;
    if (state.onOutput) {
      try {
        state.onOutput(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
      } catch (...) {
        // A failing consumer must not take the process down; it just misses output.
      }
    }
  }
}

// Waits for the child without reaping it (WNOWAIT), so that it can be reaped
// under the lock that stop() takes before signalling: the pid stays ours until
// `reaped` is set. A stopped child that outstays the grace period is killed.
void reap(ChildProcess::State& state) {
  auto step = std::chrono::milliseconds(1);
  for (;;) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    const int rc = ::waitid(P_PID, static_cast<id_t>(state.pid), &info, WEXITED | WNOHANG | WNOWAIT);
    std::unique_lock lock(state.mutex);
    if ((rc == 0 && info.si_pid == state.pid) || (rc < 0 && errno == ECHILD)) {
      if (rc == 0) waitForChild(state.pid);
      state.reaped = true;  // ECHILD: the host reaped it behind our back; never signal it again
      state.changed.notify_all();
      return;
    }
    if (state.stopRequested && !state.killed &&
        std::chrono::steady_clock::now() >= state.stopTime + ChildProcess::kTerminateGrace) {
      ::kill(state.pid, SIGKILL);
      state.killed = true;
    }
    state.changed.wait_for(lock, step);
    step = std::min(step * 2, std::chrono::milliseconds(100));
  }
}

void monitor(std::shared_ptr<ChildProcess::State> state) {
  state->monitorThread = std::this_thread::get_id();
  readUntilEndOrStop(*state);
  {
    std::lock_guard lock(state->mutex);
    state->output.reset();
    state->wakeRead.reset();
    state->wakeWrite.reset();
    state->onOutput = nullptr;  // release what the consumer captured
  }
  reap(*state);
}

}  // namespace

ChildProcess::ChildProcess(std::string path, std::vector<std::string> arguments)
    : path_(std::move(path)), arguments_(std::move(arguments)), state_(std::make_shared<State>()) {}

ChildProcess::~ChildProcess() {
  if (stopOnDestruction_) stop();
}

void ChildProcess::start(OutputObserver onOutput) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->startAttempted) throw std::logic_error("ChildProcess started twice");
    state_->startAttempted = true;
  }
  Pipe wake = makePipe();
  Spawned child = spawnWithOutputPipe(path_, arguments_, /*largePipe=*/false);

  std::lock_guard lock(state_->mutex);
  state_->pid = child.pid;
  state_->started = true;
  state_->output = std::move(child.output);
  state_->wakeRead = std::move(wake.readEnd);
  state_->wakeWrite = std::move(wake.writeEnd);
  state_->onOutput = std::move(onOutput);
  if (state_->stopRequested) {
    // Stopped while it was being started: honour it now.
    state_->stopTime = std::chrono::steady_clock::now();
    ::kill(child.pid, SIGTERM);
    (void)!::write(state_->wakeWrite.get(), "x", 1);
  }
  try {
    std::thread(monitor, state_).detach();
  } catch (...) {
    ::kill(child.pid, SIGKILL);
    waitForChild(child.pid);
    state_->reaped = true;
    state_->output.reset();
    state_->wakeRead.reset();
    state_->wakeWrite.reset();
    throw;
  }
}

std::int32_t ChildProcess::pid() const noexcept {
  std::lock_guard lock(state_->mutex);
  return state_->pid;
}

bool ChildProcess::isRunning() const noexcept {
  std::lock_guard lock(state_->mutex);
  return state_->started && !state_->reaped;
}

void ChildProcess::stop() noexcept {
  state_->stopped = true;
  if (state_->monitorThread.load() != std::this_thread::get_id()) {
    // Wait for a callback in progress; a new one sees `stopped` and never starts.
    std::lock_guard waitForCallback(state_->callingOutput);
  }
  std::lock_guard lock(state_->mutex);
  if (state_->stopRequested) return;
  state_->stopRequested = true;
  state_->stopTime = std::chrono::steady_clock::now();
  if (!state_->started || state_->reaped) return;
  if (state_->wakeWrite.get() >= 0) (void)!::write(state_->wakeWrite.get(), "x", 1);
  ::kill(state_->pid, SIGTERM);
  state_->changed.notify_all();
}

const std::atomic<bool>& ChildProcess::stopFlag() const noexcept { return state_->stopped; }

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout,
                                  [&] { return !state_->started || state_->reaped; });
}

}  // namespace velmora::platform
