#include "platform/posix/spawn.hpp"

#include <cerrno>
#include <csignal>
#include <system_error>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/errno/errno_calls.hpp"
#include "platform/posix/system_calls.hpp"
#include "platform/process.hpp"

#ifdef __APPLE__
#include <crt_externs.h>
#else
extern char** environ;
#endif

namespace velmora::platform {

namespace posix {

namespace {

char** hostEnvironment() {
#ifdef __APPLE__
  return *_NSGetEnviron();
#else
  return environ;
#endif
}

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

}  // namespace

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
  // otherwise a stopped tool might never notice a stop signal (SIGTERM, or
  // the SIGINT or SIGHUP a run control passes on) or a closed pipe.
  sigset_t empty;
  sigemptyset(&empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGHUP);
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
      sys::posix_spawn(&pid, path.c_str(), actions.get(), attributes.get(), argv.data(), hostEnvironment());
  if (rc != 0) throwErrno(rc, "Cannot launch " + path);
  return Spawned{pid, std::move(pipe.readEnd)};  // the write end closes here, in the parent
}

int waitForChild(pid_t pid) noexcept {
  int status = 0;
  retryOnInterrupt([&] { return sys::waitpid(pid, &status, 0); });
  return status;
}

}  // namespace posix

ExitStatus ExitStatus::fromWaitStatus(int waitStatus) noexcept {
  if (WIFSIGNALED(waitStatus)) return ExitStatus{true, WTERMSIG(waitStatus)};
  return ExitStatus{false, WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 0};
}

}  // namespace velmora::platform
