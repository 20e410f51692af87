// File descriptors as values: a move-only owner that closes on destruction,
// and a pipe whose ends are both close-on-exec.
#pragma once

#include <utility>

namespace velmora::platform {

// Owns one descriptor; closes it when destroyed or reset. -1 holds nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// A pipe with both ends close-on-exec, so that children started concurrently
// from other threads never inherit them (a child holding another run's write
// end would keep that run from seeing the end of its output). The write end
// is never 0, 1 or 2, so that it can be moved onto a child's standard output.
// Throws std::system_error with errno on failure.
Pipe makePipe();

}  // namespace velmora::platform
