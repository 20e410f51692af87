// A read-only mirror of a folder in which every request that a cloud-backed
// file system would send over the network waits a fixed delay: the
// instrument of the delayed archive benchmark (bench/archive_latency.py).
//
//   velmora_latency_fs [--serial-lookups] DELAY_MS SOURCE MOUNTPOINT [-f] [-d] [-o OPTION[,...]]
//
// What waits DELAY_MS, inside the request's handler (handlers run on up to
// 512 threads, so requests that overlap wait together, as over a network):
//   - the first look at a path (lookup or getattr) since the last reset; a
//     look while another request fetches the same path waits for that one;
//     later looks are free, as a client's metadata cache makes them;
//   - each directory listing, each open, each readlink;
//   - each read, once per 128 KiB (the mount asks for no longer reads).
// The kernel caches nothing: entry, attribute and negative timeouts 0, no
// kernel_cache or auto_cache, keep_cache 0 on every open, and no READDIRPLUS
// (whose listings would describe every entry at no cost).
//
// Lookups of new names in one folder reach the daemon in parallel, as a
// network file system serves them: libfuse 3.14 (Debian 12's) never tells the
// kernel that the file system takes parallel directory operations, whatever
// it asks for, so the daemon sets that flag in its own INIT reply where the
// kernel offers it. --serial-lookups leaves it unset: the kernel then sends
// one lookup at a time per folder, as in the figures measured before.
//
// SIGUSR1 writes one line of counters to standard error (run with -f to keep
// it), after forgetting the seen paths and zeroing the counters, so that each
// benchmark run pays full cost and can tell how parallel it was:
//   latency-fs reset=N in_flight=M lookup=H/W/M readdir=H/W/M open=H/W/M read=H/W/M readlink=H/W/M read_bytes=B
// H: requests handled, W: those that waited the delay, M: most in a handler
// at once (in_flight: all kinds together). The line ends the reset, so that
// a script that waits for it knows the next run starts afresh.
#define FUSE_USE_VERSION 312
#include <fuse.h>
#include <fuse_lowlevel.h>  // fuse_parse_cmdline, fuse_session_custom_io
#include <linux/fuse.h>      // the kernel's INIT messages

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

constexpr std::size_t kMaxRead = 128 * 1024;
constexpr unsigned kMaxThreads = 512;
constexpr unsigned kMaxBackground = 256;

enum Kind { kLookup, kReaddir, kOpen, kRead, kReadlink, kKinds };
constexpr const char* kKindNames[kKinds] = {"lookup", "readdir", "open", "read", "readlink"};

// The number of requests inside a handler now, and the most since the last reset.
struct Gauge {
  std::atomic<int> now{0};
  std::atomic<int> most{0};
  void enter() {
    const int value = ++now;
    int seen = most.load();
    while (value > seen && !most.compare_exchange_weak(seen, value)) {
    }
  }
  void leave() { --now; }
  int takeMost() { return most.exchange(now.load()); }
};

struct Mirror {
  int root = -1;
  std::chrono::nanoseconds delay{0};
  bool parallelLookups = true;
  std::atomic<std::uint64_t> handled[kKinds]{};
  std::atomic<std::uint64_t> waited[kKinds]{};
  std::atomic<std::uint64_t> readBytes{0};
  Gauge inFlight[kKinds];
  Gauge allInFlight;
  std::uint64_t resets = 0;  // only the resetting thread touches it
  // Paths looked at since the last reset: true once fetched, false while a
  // request is still waiting for them.
  std::mutex mutex;
  std::condition_variable fetched;
  std::unordered_map<std::string, bool> seen;
};

Mirror mirror;

class Request {
 public:
  explicit Request(Kind kind) : kind_(kind) {
    ++mirror.handled[kind];
    mirror.allInFlight.enter();
    mirror.inFlight[kind].enter();
  }
  ~Request() {
    mirror.inFlight[kind_].leave();
    mirror.allInFlight.leave();
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Pays the delay `times` over; counted even at a delay of 0, so that the
  // counters tell what would have waited.
  void wait(std::size_t times = 1) {
    ++mirror.waited[kind_];
    if (mirror.delay.count() > 0) std::this_thread::sleep_for(mirror.delay * times);
  }

 private:
  Kind kind_;
};

// FUSE paths start with "/"; the source is reached relative to its descriptor.
const char* relative(const char* path) { return path[1] != '\0' ? path + 1 : "."; }

// The first look at `path` since the last reset waits the delay; a look while
// another request is fetching the same path waits for that one to finish.
void lookUp(Request& request, const char* path) {
  std::unique_lock lock(mirror.mutex);
  if (!mirror.seen.try_emplace(path, false).second) {
    mirror.fetched.wait(lock, [&] {
      const auto found = mirror.seen.find(path);
      return found == mirror.seen.end() || found->second;  // fetched, or forgotten by a reset
    });
    return;
  }
  lock.unlock();
  request.wait();
  lock.lock();
  if (const auto found = mirror.seen.find(path); found != mirror.seen.end()) found->second = true;
  lock.unlock();
  mirror.fetched.notify_all();
}

int mirrorGetattr(const char* path, struct stat* status, fuse_file_info* file) {
  Request request(kLookup);
  lookUp(request, path);
  const int result = file != nullptr ? ::fstat(static_cast<int>(file->fh), status)
                                     : ::fstatat(mirror.root, relative(path), status, AT_SYMLINK_NOFOLLOW);
  return result == 0 ? 0 : -errno;
}

int mirrorReadlink(const char* path, char* buffer, std::size_t size) {
  Request request(kReadlink);
  if (size == 0) return -EINVAL;
  request.wait();
  const ssize_t length = ::readlinkat(mirror.root, relative(path), buffer, size - 1);
  if (length < 0) return -errno;
  buffer[length] = '\0';  // a longer target is cut short, as FUSE expects
  return 0;
}

int mirrorOpen(const char* path, fuse_file_info* file) {
  Request request(kOpen);
  if ((file->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  request.wait();
  // O_NOFOLLOW: the kernel resolves links itself; a name that became a link
  // since its lookup must not lead outside the source.
  const int descriptor = ::openat(mirror.root, relative(path), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (descriptor < 0) return -errno;
  file->fh = static_cast<std::uint64_t>(descriptor);
  file->keep_cache = 0;
  return 0;
}

int mirrorRead(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info* file) {
  Request request(kRead);
  request.wait(std::max<std::size_t>(1, (size + kMaxRead - 1) / kMaxRead));
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(static_cast<int>(file->fh), buffer + done, size - done,
                                offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -errno;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  mirror.readBytes += done;
  return static_cast<int>(done);
}

int mirrorRelease(const char*, fuse_file_info* file) {
  ::close(static_cast<int>(file->fh));
  return 0;
}

// The whole listing at once (offset 0): the library keeps it for the
// kernel's further READDIRs of the same listing, which then cost nothing.
int mirrorReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  Request request(kReaddir);
  request.wait();
  const int descriptor = ::openat(mirror.root, relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (descriptor < 0) return -errno;
  const std::unique_ptr<DIR, int (*)(DIR*)> folder(::fdopendir(descriptor), &::closedir);
  if (!folder) {
    const int error = errno;
    ::close(descriptor);
    return -error;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(folder.get());
    if (entry == nullptr) return -errno;
    struct stat status {};
    status.st_ino = entry->d_ino;
    status.st_mode = DTTOIF(entry->d_type);
    if (fill(buffer, entry->d_name, &status, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) return -ENOMEM;
  }
}

int mirrorStatfs(const char*, struct statvfs* status) { return ::fstatvfs(mirror.root, status) == 0 ? 0 : -errno; }

void* mirrorInit(fuse_conn_info* connection, fuse_config* config) {
  config->entry_timeout = 0;
  config->attr_timeout = 0;
  config->negative_timeout = 0;
  config->kernel_cache = 0;
  config->auto_cache = 0;
  connection->want &= ~static_cast<unsigned>(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO);
  // Where libfuse passes the request on; 3.14 needs writeReply below too.
  if (mirror.parallelLookups && (connection->capable & FUSE_CAP_PARALLEL_DIROPS) != 0) {
    connection->want |= FUSE_CAP_PARALLEL_DIROPS;
  } else {
    connection->want &= ~static_cast<unsigned>(FUSE_CAP_PARALLEL_DIROPS);
  }
  connection->max_background = kMaxBackground;
  connection->max_read = kMaxRead;  // the same as the mount option, or the session refuses to start
  return nullptr;
}

// The device's traffic passes here only to set the parallel-lookups flag in
// the INIT reply, and only where the kernel's INIT request offers it.
std::atomic<std::uint64_t> initRequest{0};  // the INIT request's id while its reply is due

ssize_t readRequest(int device, void* buffer, std::size_t size, void*) {
  const ssize_t got = ::read(device, buffer, size);
  constexpr std::size_t kFlagsEnd = sizeof(fuse_in_header) + offsetof(fuse_init_in, flags) + sizeof(std::uint32_t);
  if (got >= static_cast<ssize_t>(kFlagsEnd)) {
    fuse_in_header header;
    std::memcpy(&header, buffer, sizeof header);
    std::uint32_t offered = 0;
    std::memcpy(&offered, static_cast<const char*>(buffer) + sizeof header + offsetof(fuse_init_in, flags), sizeof offered);
    if (header.opcode == FUSE_INIT && (offered & FUSE_PARALLEL_DIROPS) != 0) initRequest = header.unique;
  }
  return got;
}

ssize_t writeReply(int device, iovec* pieces, int count, void*) {
  const std::uint64_t init = initRequest.load();
  if (init != 0 && count >= 2 && pieces[0].iov_len >= sizeof(fuse_out_header) &&
      pieces[1].iov_len >= offsetof(fuse_init_out, flags) + sizeof(std::uint32_t)) {
    fuse_out_header header;
    std::memcpy(&header, pieces[0].iov_base, sizeof header);
    if (header.unique == init && header.error == 0) {
      char* at = static_cast<char*>(pieces[1].iov_base) + offsetof(fuse_init_out, flags);
      std::uint32_t flags = 0;
      std::memcpy(&flags, at, sizeof flags);
      flags |= FUSE_PARALLEL_DIROPS;
      std::memcpy(at, &flags, sizeof flags);
      initRequest = 0;
    }
  }
  return ::writev(device, pieces, count);
}

void forgetAndReport() {
  {
    const std::lock_guard lock(mirror.mutex);
    mirror.seen.clear();
  }
  mirror.fetched.notify_all();
  std::string line = "latency-fs reset=" + std::to_string(++mirror.resets) +
                     " in_flight=" + std::to_string(mirror.allInFlight.takeMost());
  for (int kind = 0; kind < kKinds; ++kind) {
    line += std::string(" ") + kKindNames[kind] + "=" + std::to_string(mirror.handled[kind].exchange(0)) + "/" +
            std::to_string(mirror.waited[kind].exchange(0)) + "/" + std::to_string(mirror.inFlight[kind].takeMost());
  }
  line += " read_bytes=" + std::to_string(mirror.readBytes.exchange(0)) + "\n";
  // Standard error may be gone (a daemon's, or a closed pipe): the counters
  // are lost then, the file system goes on.
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t wrote = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    done += static_cast<std::size_t>(wrote);
  }
}

// A delay in milliseconds: a finite number from 0 to one minute, nothing after it.
bool parseDelay(const char* text, std::chrono::nanoseconds& delay) {
  char* end = nullptr;
  errno = 0;
  const double milliseconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(milliseconds) || milliseconds < 0 ||
      milliseconds > 60000) {
    return false;
  }
  delay = std::chrono::nanoseconds(static_cast<std::int64_t>(std::llround(milliseconds * 1e6)));
  return true;
}

void usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--serial-lookups] DELAY_MS SOURCE MOUNTPOINT [-f] [-d] [-o OPTION[,...]]\n"
               "Mirrors SOURCE read-only at MOUNTPOINT; every request that would go to the network waits DELAY_MS.\n"
               "SIGUSR1: report the counters on standard error, then forget the seen paths and zero them.\n",
               program);
}

}  // namespace

int main(int argc, char* argv[]) {
  mirror.parallelLookups = !(argc > 1 && std::strcmp(argv[1], "--serial-lookups") == 0);
  const int first = mirror.parallelLookups ? 1 : 2;  // DELAY_MS
  if (argc - first < 3) {
    usage(argv[0]);
    return 2;
  }
  if (!parseDelay(argv[first], mirror.delay)) {
    std::fprintf(stderr, "%s: the delay must be a number of milliseconds from 0 to 60000, not '%s'\n", argv[0],
                 argv[first]);
    return 2;
  }
  mirror.root = ::open(argv[first + 1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (mirror.root < 0) {
    std::fprintf(stderr, "%s: cannot open the folder '%s': %s\n", argv[0], argv[first + 1], std::strerror(errno));
    return 1;
  }
  // Blocked before any thread exists, so that only the resetting thread takes it.
  sigset_t resetSignal;
  sigemptyset(&resetSignal);
  sigaddset(&resetSignal, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &resetSignal, nullptr);

  std::string mountOptions = "ro,fsname=velmora-latency-fs,max_read=" + std::to_string(kMaxRead);
  std::vector<char*> words = {argv[0], argv[first + 2]};
  for (int i = first + 3; i < argc; ++i) words.push_back(argv[i]);
  words.push_back(const_cast<char*>("-o"));
  words.push_back(mountOptions.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(words.size()), words.data());
  fuse_cmdline_opts options{};
  if (fuse_parse_cmdline(&args, &options) != 0) return 2;
  const std::unique_ptr<char, void (*)(void*)> mountpoint(options.mountpoint, &std::free);
  if (options.show_help || options.show_version) {
    usage(argv[0]);
    fuse_cmdline_help();
    return 0;
  }

  fuse_operations operations{};
  operations.getattr = mirrorGetattr;
  operations.readlink = mirrorReadlink;
  operations.open = mirrorOpen;
  operations.read = mirrorRead;
  operations.release = mirrorRelease;
  operations.readdir = mirrorReaddir;
  operations.statfs = mirrorStatfs;
  operations.init = mirrorInit;
  fuse* session = fuse_new(&args, &operations, sizeof operations, nullptr);
  fuse_opt_free_args(&args);
  if (session == nullptr) return 1;
  int status = 1;
  if (fuse_mount(session, mountpoint.get()) == 0) {
    fuse_session* device = fuse_get_session(session);
    const fuse_custom_io io{writeReply, readRequest, nullptr, nullptr};
    if (mirror.parallelLookups && fuse_session_custom_io(device, &io, fuse_session_fd(device)) != 0) {
      std::fprintf(stderr, "%s: lookups in one folder stay serial (no custom I/O)\n", argv[0]);
    }
    if (fuse_daemonize(options.foreground) == 0 && fuse_set_signal_handlers(device) == 0) {
      std::atomic<bool> stopping{false};
      std::thread resetter([&] {
        for (;;) {
          int signal = 0;
          if (sigwait(&resetSignal, &signal) != 0) continue;
          if (stopping) return;
          forgetAndReport();
        }
      });
      // The multi-threaded loop's default of 10 workers would queue the
      // waiting requests; its command-line option is refused, so it is set here.
      fuse_loop_config* loop = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(loop, kMaxThreads);
      fuse_loop_cfg_set_clone_fd(loop, static_cast<unsigned>(options.clone_fd));
      // Negative: a failure; positive: the stop signal's number, an orderly end.
      status = fuse_loop_mt(session, loop) < 0 ? 1 : 0;
      fuse_loop_cfg_destroy(loop);
      stopping = true;
      pthread_kill(resetter.native_handle(), SIGUSR1);
      resetter.join();
      fuse_remove_signal_handlers(device);
    }
    fuse_unmount(session);
  }
  fuse_destroy(session);
  ::close(mirror.root);
  return status;
}
