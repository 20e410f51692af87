// The system calls of the POSIX layer, behind one seam that tests can make
// fail.
//
// Every file of platform/posix/ makes these calls through `sys::`, never
// directly. Each behaves exactly as the system call of its name, unless a
// test has scripted faults for its kind (injectFaults): the next calls of
// that kind, from any thread, then take the script's faults in order (fail
// with an errno, or move at most so many bytes), and the calls after the
// script behave normally again. Without a script the seam costs one atomic
// load per call. Not installed: only the library and its tests see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <poll.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

namespace velmora::platform::posix {

namespace sys {

ssize_t read(int fd, void* buffer, std::size_t count);
ssize_t write(int fd, const void* buffer, std::size_t count);
ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset);
int open(const char* path, int flags, mode_t mode = 0);
int pipe(int fds[2]);
#ifdef __linux__
int pipe2(int fds[2], int flags);
#endif
// Returns the error number, as posix_spawn does.
int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]);
int waitid(idtype_t type, id_t id, siginfo_t* info, int options);
pid_t waitpid(pid_t pid, int* status, int options);
int poll(pollfd* fds, nfds_t count, int timeout);

}  // namespace sys

// The kinds of call a script can target; pipe covers pipe2.
enum class SystemCall { read, write, pread, open, pipe, posixSpawn, waitid, waitpid, poll };

// What one call does instead of its plain self.
struct Fault {
  int error = 0;                       // when set, the call fails with it and does nothing
  std::size_t atMost = SIZE_MAX;       // otherwise read, write and pread move at most this many bytes
};
inline constexpr Fault kPassThrough{};  // one call as usual, for "the second read fails"

// For tests: appends `script` to the faults that the next calls of `call` take.
void injectFaults(SystemCall call, std::vector<Fault> script);
// For tests: drops every fault not yet taken; calls behave normally again.
void clearFaults() noexcept;

}  // namespace velmora::platform::posix
