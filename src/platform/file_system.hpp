// File-system queries the logic needs from the platform.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "platform/unique_fd.hpp"

namespace velmora::platform {

// Whether anything exists at `path`, following symbolic links: a directory
// or a file without execute permission counts as existing, a dangling link
// does not.
bool fileExists(const std::string& path) noexcept;

// The modification time of `path` itself (a link's own, not its target's),
// in seconds since the epoch; 0 when it cannot be read.
std::time_t modificationTime(const std::string& path) noexcept;

// A new file that gets its name only once it is complete, so that a reader
// never sees it half written and a writer killed meanwhile leaves nothing
// behind where the file system allows.
//
// Where the file system offers unnamed files (Linux's O_TMPFILE: ext4, tmpfs,
// xfs, btrfs), the file has no name at all until publish(); the kernel frees
// it when its descriptor closes, however the process ends. Elsewhere (FUSE
// file systems such as exFAT, macOS) it is created at `fallbackPath` and this
// object holds an exclusive flock on it for its whole life: the kernel
// releases that lock when the writer dies, which is how removeUnlocked()
// tells a leftover from a file being written. (On a file system without
// locks the file is written unlocked, and no cleaner can remove it.)
class PendingFile {
 public:
  // Throws std::system_error with errno when the file cannot be created.
  PendingFile(const std::string& folder, const std::string& fallbackPath);
  // Removes the fallback name unless published, before the lock goes.
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Open for reading and writing, at offset 0.
  int descriptor() const noexcept { return fd_.get(); }

  // Flushes the file to disk, then gives it the name `final` unless
  // something already exists there, atomically where the file system allows
  // (a hard link, or a rename that refuses to replace), else after a check;
  // then flushes the folder, where the file system allows. Throws
  // std::filesystem::filesystem_error ("An archive already exists there",
  // EEXIST, or the errno of the failed call); `final` is then untouched.
  void publish(const std::string& final);

 private:
  void publishFlushed(const std::string& final);

  UniqueFd fd_;
  std::string folder_;
  std::string temporaryPath_;
  bool published_ = false;
};

// This machine's identity, as 16 hex digits (a digest of its machine id, or
// of its host name where it has none): the same for every process here, and
// another on another machine sharing a file system.
std::string hostIdentity();

// Removes the entries of `folder` that `isOurs` accepts by name, are regular
// files and whose flock can be taken at once: files a PendingFile left when
// its writer died. A file whose lock is held (its writer is alive) is never
// touched. Never throws: what cannot be examined or removed stays.
void removeUnlocked(const std::string& folder, const std::function<bool(const std::string& name)>& isOurs) noexcept;

}  // namespace velmora::platform
