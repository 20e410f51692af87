#include "platform/posix/system_calls.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <optional>

namespace velmora::platform::posix {

std::atomic<bool> detail::faultsScripted{false};

namespace {

constexpr std::size_t kCallKinds = static_cast<std::size_t>(SystemCall::flock) + 1;

std::mutex& scriptMutex() {
  static std::mutex mutex;
  return mutex;
}

// Guarded by scriptMutex().
std::array<std::deque<Fault>, kCallKinds>& scripts() {
  static std::array<std::deque<Fault>, kCallKinds> faults;
  return faults;
}

std::optional<Fault> nextFault(SystemCall call) {
  std::lock_guard lock(scriptMutex());
  auto& queue = scripts()[static_cast<std::size_t>(call)];
  if (queue.empty()) return std::nullopt;
  const Fault fault = queue.front();
  queue.pop_front();
  return fault;
}

// The fault of this call, if it fails: sets errno and gives true.
bool failsNow(const std::optional<Fault>& fault) {
  if (!fault || fault->error == 0) return false;
  errno = fault->error;
  return true;
}

std::size_t limited(const std::optional<Fault>& fault, std::size_t count) {
  return fault ? std::min(count, fault->atMost) : count;
}

}  // namespace

namespace scripted {

ssize_t read(int fd, void* buffer, std::size_t count) {
  const auto fault = nextFault(SystemCall::read);
  if (failsNow(fault)) return -1;
  return ::read(fd, buffer, limited(fault, count));
}

ssize_t write(int fd, const void* buffer, std::size_t count) {
  const auto fault = nextFault(SystemCall::write);
  if (failsNow(fault)) return -1;
  return ::write(fd, buffer, limited(fault, count));
}

ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) {
  const auto fault = nextFault(SystemCall::pread);
  if (failsNow(fault)) return -1;
  return ::pread(fd, buffer, limited(fault, count), offset);
}

int open(const char* path, int flags, mode_t mode) {
  if (failsNow(nextFault(SystemCall::open))) return -1;
  return ::open(path, flags, mode);
}

int openat(int folder, const char* path, int flags, mode_t mode) {
  if (failsNow(nextFault(SystemCall::open))) return -1;
  return ::openat(folder, path, flags, mode);
}

ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) {
  const auto fault = nextFault(SystemCall::pwrite);
  if (failsNow(fault)) return -1;
  return ::pwrite(fd, buffer, limited(fault, count), offset);
}

off_t lseek(int fd, off_t offset, int whence) {
  if (failsNow(nextFault(SystemCall::lseek))) return -1;
  return ::lseek(fd, offset, whence);
}

int ftruncate(int fd, off_t length) {
  if (failsNow(nextFault(SystemCall::ftruncate))) return -1;
  return ::ftruncate(fd, length);
}

int fsync(int fd) {
  if (failsNow(nextFault(SystemCall::fsync))) return -1;
  return ::fsync(fd);
}

int fstat(int fd, struct stat* info) {
  if (failsNow(nextFault(SystemCall::fstat))) return -1;
  return ::fstat(fd, info);
}

int fstatat(int folder, const char* path, struct stat* info, int flags) {
  if (failsNow(nextFault(SystemCall::fstat))) return -1;
  return ::fstatat(folder, path, info, flags);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  if (failsNow(nextFault(SystemCall::link))) return -1;
  return ::linkat(fromFolder, from, toFolder, to, flags);
}

int rename(const char* from, const char* to) {
  if (failsNow(nextFault(SystemCall::rename))) return -1;
  return ::rename(from, to);
}

#if defined(__linux__) && defined(RENAME_NOREPLACE)
int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  if (failsNow(nextFault(SystemCall::rename))) return -1;
  return ::renameat2(fromFolder, from, toFolder, to, flags);
}
#endif

int unlink(const char* path) {
  if (failsNow(nextFault(SystemCall::unlink))) return -1;
  return ::unlink(path);
}

int flock(int fd, int operation) {
  if (failsNow(nextFault(SystemCall::flock))) return -1;
  return ::flock(fd, operation);
}

int pipe(int fds[2]) {
  if (failsNow(nextFault(SystemCall::pipe))) return -1;
  return ::pipe(fds);
}

#ifdef __linux__
int pipe2(int fds[2], int flags) {
  if (failsNow(nextFault(SystemCall::pipe))) return -1;
  return ::pipe2(fds, flags);
}
#endif

int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  const auto fault = nextFault(SystemCall::posixSpawn);
  if (fault && fault->error != 0) return fault->error;
  return ::posix_spawn(pid, path, actions, attributes, argv, envp);
}

int waitid(idtype_t type, id_t id, siginfo_t* info, int options) {
  if (failsNow(nextFault(SystemCall::waitid))) return -1;
  return ::waitid(type, id, info, options);
}

pid_t waitpid(pid_t pid, int* status, int options) {
  if (failsNow(nextFault(SystemCall::waitpid))) return -1;
  return ::waitpid(pid, status, options);
}

int poll(pollfd* fds, nfds_t count, int timeout) {
  if (failsNow(nextFault(SystemCall::poll))) return -1;
  return ::poll(fds, count, timeout);
}

}  // namespace scripted

void injectFaults(SystemCall call, std::vector<Fault> script) {
  std::lock_guard lock(scriptMutex());
  auto& queue = scripts()[static_cast<std::size_t>(call)];
  queue.insert(queue.end(), script.begin(), script.end());
  detail::faultsScripted.store(true, std::memory_order_release);
}

void clearFaults() noexcept {
  std::lock_guard lock(scriptMutex());
  for (auto& queue : scripts()) queue.clear();
  detail::faultsScripted.store(false, std::memory_order_release);
}

}  // namespace velmora::platform::posix
