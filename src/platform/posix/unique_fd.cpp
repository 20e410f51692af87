#include "platform/unique_fd.hpp"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "platform/errno/errno_calls.hpp"
#include "platform/posix/system_calls.hpp"

namespace velmora::platform {

void UniqueFd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Pipe makePipe() {
  int fds[2];
#ifdef __linux__
  if (posix::sys::pipe2(fds, O_CLOEXEC) != 0) throwErrno(errno, "pipe");
#else
  // There is no atomic pipe2 here; spawns of this library use
  // POSIX_SPAWN_CLOEXEC_DEFAULT, which closes the gap for them.
  if (posix::sys::pipe(fds) != 0) throwErrno(errno, "pipe");
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  // dup2 onto the same number leaves close-on-exec set, and the child would
  // then have no standard output: keep the write end away from 0, 1 and 2.
  if (pipe.writeEnd.get() <= STDERR_FILENO) {
    const int moved = ::fcntl(pipe.writeEnd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) throwErrno(errno, "fcntl");
    pipe.writeEnd = UniqueFd(moved);
  }
  return pipe;
}

}  // namespace velmora::platform
