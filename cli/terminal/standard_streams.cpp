#include "terminal/standard_streams.hpp"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace velmora::platform {

void openClosedStandardStreams() noexcept {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free number, which is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened > 2) ::close(opened);
  }
}

}  // namespace velmora::platform
