// The system calls of the POSIX layer, behind one seam that tests can make
// fail.
//
// Every file of platform/posix/ makes these calls through `sys::`, never
// directly. Each behaves exactly as the system call of its name, unless a
// test has scripted faults for its kind (injectFaults): the next calls of
// that kind, from any thread, then take the script's faults in order (fail
// with an errno, or move at most so many bytes), and the calls after the
// script behave normally again. Without a script the seam costs one atomic
// load per call, inline. Not installed: only the library and its tests see it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora::platform::posix {

namespace detail {
// Set while any fault is scripted; the calls below read it first.
extern std::atomic<bool> faultsScripted;
}  // namespace detail

// The scripted versions, for when a fault may be due; see below.
namespace scripted {
ssize_t read(int fd, void* buffer, std::size_t count);
ssize_t write(int fd, const void* buffer, std::size_t count);
ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset);
int open(const char* path, int flags, mode_t mode);
int openat(int folder, const char* path, int flags, mode_t mode);
ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset);
off_t lseek(int fd, off_t offset, int whence);
int ftruncate(int fd, off_t length);
int fsync(int fd);
int fstat(int fd, struct stat* info);
int fstatat(int folder, const char* path, struct stat* info, int flags);
int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags);
int rename(const char* from, const char* to);
#if defined(__linux__) && defined(RENAME_NOREPLACE)
int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags);
#endif
int unlink(const char* path);
int flock(int fd, int operation);
int pipe(int fds[2]);
#ifdef __linux__
int pipe2(int fds[2], int flags);
#endif
int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]);
int waitid(idtype_t type, id_t id, siginfo_t* info, int options);
pid_t waitpid(pid_t pid, int* status, int options);
int poll(pollfd* fds, nfds_t count, int timeout);
}  // namespace scripted

namespace sys {

inline bool faultsMayBeDue() noexcept { return detail::faultsScripted.load(std::memory_order_acquire); }

inline ssize_t read(int fd, void* buffer, std::size_t count) {
  return faultsMayBeDue() ? scripted::read(fd, buffer, count) : ::read(fd, buffer, count);
}
inline ssize_t write(int fd, const void* buffer, std::size_t count) {
  return faultsMayBeDue() ? scripted::write(fd, buffer, count) : ::write(fd, buffer, count);
}
inline ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) {
  return faultsMayBeDue() ? scripted::pread(fd, buffer, count, offset) : ::pread(fd, buffer, count, offset);
}
inline int open(const char* path, int flags, mode_t mode = 0) {
  return faultsMayBeDue() ? scripted::open(path, flags, mode) : ::open(path, flags, mode);
}
inline int openat(int folder, const char* path, int flags, mode_t mode = 0) {
  return faultsMayBeDue() ? scripted::openat(folder, path, flags, mode) : ::openat(folder, path, flags, mode);
}
inline ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) {
  return faultsMayBeDue() ? scripted::pwrite(fd, buffer, count, offset) : ::pwrite(fd, buffer, count, offset);
}
inline off_t lseek(int fd, off_t offset, int whence) {
  return faultsMayBeDue() ? scripted::lseek(fd, offset, whence) : ::lseek(fd, offset, whence);
}
inline int ftruncate(int fd, off_t length) {
  return faultsMayBeDue() ? scripted::ftruncate(fd, length) : ::ftruncate(fd, length);
}
inline int fsync(int fd) { return faultsMayBeDue() ? scripted::fsync(fd) : ::fsync(fd); }
inline int fstat(int fd, struct stat* info) { return faultsMayBeDue() ? scripted::fstat(fd, info) : ::fstat(fd, info); }
inline int fstatat(int folder, const char* path, struct stat* info, int flags) {
  return faultsMayBeDue() ? scripted::fstatat(folder, path, info, flags) : ::fstatat(folder, path, info, flags);
}
inline int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  return faultsMayBeDue() ? scripted::linkat(fromFolder, from, toFolder, to, flags)
                          : ::linkat(fromFolder, from, toFolder, to, flags);
}
inline int rename(const char* from, const char* to) {
  return faultsMayBeDue() ? scripted::rename(from, to) : ::rename(from, to);
}
#if defined(__linux__) && defined(RENAME_NOREPLACE)
inline int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
  return faultsMayBeDue() ? scripted::renameat2(fromFolder, from, toFolder, to, flags)
                          : ::renameat2(fromFolder, from, toFolder, to, flags);
}
#endif
inline int unlink(const char* path) { return faultsMayBeDue() ? scripted::unlink(path) : ::unlink(path); }
inline int flock(int fd, int operation) {
  return faultsMayBeDue() ? scripted::flock(fd, operation) : ::flock(fd, operation);
}
inline int pipe(int fds[2]) { return faultsMayBeDue() ? scripted::pipe(fds) : ::pipe(fds); }
#ifdef __linux__
inline int pipe2(int fds[2], int flags) { return faultsMayBeDue() ? scripted::pipe2(fds, flags) : ::pipe2(fds, flags); }
#endif
// Returns the error number, as posix_spawn does.
inline int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                       const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]) {
  return faultsMayBeDue() ? scripted::posix_spawn(pid, path, actions, attributes, argv, envp)
                          : ::posix_spawn(pid, path, actions, attributes, argv, envp);
}
inline int waitid(idtype_t type, id_t id, siginfo_t* info, int options) {
  return faultsMayBeDue() ? scripted::waitid(type, id, info, options) : ::waitid(type, id, info, options);
}
inline pid_t waitpid(pid_t pid, int* status, int options) {
  return faultsMayBeDue() ? scripted::waitpid(pid, status, options) : ::waitpid(pid, status, options);
}
inline int poll(pollfd* fds, nfds_t count, int timeout) {
  return faultsMayBeDue() ? scripted::poll(fds, count, timeout) : ::poll(fds, count, timeout);
}

}  // namespace sys

// The kinds of call a script can target; pipe covers pipe2, open covers
// openat, fstat covers fstatat, rename covers renameat2.
enum class SystemCall {
  read, write, pread, open, pipe, posixSpawn, waitid, waitpid, poll,
  pwrite, lseek, ftruncate, fsync, fstat, link, rename, unlink, flock
};

// What one call does instead of its plain self.
struct Fault {
  int error = 0;                       // when set, the call fails with it and does nothing
  std::size_t atMost = SIZE_MAX;       // otherwise read, write, pread and pwrite move at most this many bytes
};
inline constexpr Fault kPassThrough{};  // one call as usual, for "the second read fails"

// For tests: appends `script` to the faults that the next calls of `call` take.
void injectFaults(SystemCall call, std::vector<Fault> script);
// For tests: drops every fault not yet taken; calls behave normally again.
void clearFaults() noexcept;

}  // namespace velmora::platform::posix
