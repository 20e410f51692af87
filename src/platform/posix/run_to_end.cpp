#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <system_error>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

#include "platform/errno/errno_calls.hpp"
#include "platform/posix/spawn.hpp"
#include "platform/posix/system_calls.hpp"
#include "platform/process.hpp"

namespace velmora::platform {

namespace {

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

CompletedRun runToEnd(const std::string& path, const std::vector<std::string>& arguments,
                      const OutputObserver& observer) {
  posix::Spawned child = posix::spawnWithOutputPipe(path, arguments, /*largePipe=*/true);
  // Reaped on every path; the read end is closed first so that a child still
  // writing gets SIGPIPE instead of blocking the wait. A run that failed
  // (reading its output, or holding it) kills its child first: it might
  // never end by itself, and nobody is left to read what it writes.
  struct Reaper {
    posix::Spawned& child;
    int waitStatus = 0;
    bool reaped = false;
    int reap() {
      if (!reaped) {
        child.output.reset();
        waitStatus = posix::waitForChild(child.pid);
        reaped = true;
      }
      return waitStatus;
    }
    ~Reaper() {
      if (!reaped) ::kill(child.pid, SIGKILL);
      reap();
    }
  } reaper{child};

  OutputBuffer output;
  for (;;) {
    const auto space = output.space();  // not a structured binding: clang 14 cannot capture one
    char* const buffer = space.first;
    const ssize_t count = retryOnInterrupt([&] { return posix::sys::read(child.output.get(), buffer, space.second); });
    if (count < 0) throwErrno(errno, "read");
    if (count == 0) break;
    if (observer) observer(std::string_view(buffer, static_cast<std::size_t>(count)));
    output.commit(buffer, static_cast<std::size_t>(count));
  }
  const ExitStatus status = ExitStatus::fromWaitStatus(reaper.reap());
  return CompletedRun{std::move(output).take(), status};
}

}  // namespace velmora::platform
