// Starting a child with its standard output on a pipe, and reaping it: the
// pieces shared by runs to completion and long-running children.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

#include "platform/unique_fd.hpp"

namespace velmora::platform::posix {

struct Spawned {
  pid_t pid;
  UniqueFd output;  // the read end of the child's standard output
};

// Starts `path` with exactly `arguments` after argv[0], standard output on a
// close-on-exec pipe, standard input and error inherited, an empty signal
// mask and default actions for SIGPIPE, SIGTERM and SIGINT. `largePipe` asks
// for a larger pipe buffer where the platform allows it. Throws
// std::system_error with the launch's errno; nothing is left behind then.
Spawned spawnWithOutputPipe(const std::string& path, const std::vector<std::string>& arguments, bool largePipe);

// Reaps `pid`, retrying on EINTR; its wait status.
int waitForChild(pid_t pid) noexcept;

}  // namespace velmora::platform::posix
