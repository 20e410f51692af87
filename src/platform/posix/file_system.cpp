#include "platform/file_system.hpp"

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::platform {

namespace fs = std::filesystem;

bool fileExists(const std::string& path) noexcept {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::time_t modificationTime(const std::string& path) noexcept {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mtime;
}

namespace {

[[noreturn]] void throwErrno(const std::string& what, int error) {
  throw std::system_error(error, std::generic_category(), what);
}

[[noreturn]] void throwExists(const std::string& final) {
  throw fs::filesystem_error("An archive already exists there", fs::path(final),
                             std::error_code(EEXIST, std::generic_category()));
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// An unnamed file in `folder`, or nothing where the file system has none.
UniqueFd openUnnamed(const std::string& folder) {
#if defined(__linux__) && defined(O_TMPFILE)
  // 0666 less the umask, as a file created by name would be.
  UniqueFd fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
  if (fd) return fd;
  const int error = errno;
  // Refused by the file system (FUSE, FAT) or unknown to an old kernel,
  // which takes the flag for O_DIRECTORY.
  if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL) throwErrno("Cannot create a file in \"" + folder + "\"", error);
#else
  (void)folder;
#endif
  return UniqueFd();
}

// Creates `path` and takes its lock. A concurrent removeUnlocked() may take
// the lock between the two and remove the fresh file; then the name no longer
// leads to it and the file is made again. Where the file system has no locks
// at all the file is written unlocked: no cleaner can take a lock there
// either, so none removes it.
UniqueFd createLocked(const std::string& path) {
  for (int attempt = 0;; ++attempt) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) throwErrno("Cannot create \"" + path + "\"", errno);
    // Blocking: a cleaner holds the lock only to look and unlink.
    while (::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat opened {}, named {};
    if (::fstat(fd.get(), &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && sameFile(opened, named)) return fd;
    if (attempt == 8) throwErrno("Cannot keep \"" + path + "\"", EAGAIN);
  }
}

}  // namespace

PendingFile::PendingFile(const std::string& folder, const std::string& fallbackPath) {
  fd_ = openUnnamed(folder);
  if (fd_) return;
  fd_ = createLocked(fallbackPath);
  temporaryPath_ = fallbackPath;
}

PendingFile::~PendingFile() {
  // Unlinked while still locked, so that no cleaner ever sees it unlocked.
  if (!published_ && !temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
}

void PendingFile::publish(const std::string& final) {
  if (temporaryPath_.empty()) {
#if defined(__linux__) && defined(O_TMPFILE)
    // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; the /proc link does not.
    int result = ::linkat(fd_.get(), "", AT_FDCWD, final.c_str(), AT_EMPTY_PATH);
    if (result != 0 && errno != EEXIST) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
      result = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, final.c_str(), AT_SYMLINK_FOLLOW);
    }
    if (result != 0) {
      const int error = errno;
      if (error == EEXIST) throwExists(final);
      throw fs::filesystem_error("Cannot give the archive its name", fs::path(final),
                                 std::error_code(error, std::generic_category()));
    }
    published_ = true;
    return;
#endif
  }
  if (::link(temporaryPath_.c_str(), final.c_str()) == 0) {
    published_ = true;
    ::unlink(temporaryPath_.c_str());
    return;
  }
  if (errno == EEXIST) throwExists(final);
  // File systems without hard links (FAT, exFAT).
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (::renameat2(AT_FDCWD, temporaryPath_.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) == 0) {
    published_ = true;
    return;
  }
  if (errno == EEXIST) throwExists(final);
#endif
  // Without a rename that refuses to replace: a check, then a rename.
  if (fs::exists(fs::symlink_status(final))) throwExists(final);
  fs::rename(temporaryPath_, final);
  published_ = true;
}

void removeUnlocked(const std::string& folder, const std::function<bool(const std::string& name)>& isOurs) noexcept {
  UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folderFd) return;
  const int listed = ::dup(folderFd.get());
  if (listed < 0) return;
  DIR* listing = ::fdopendir(listed);
  if (!listing) {
    ::close(listed);
    return;
  }
  while (const struct dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    try {
      if (!isOurs(name)) continue;
    } catch (...) {
      continue;
    }
    // Non-blocking, so that a FIFO given such a name cannot stall us.
    UniqueFd fd(::openat(folderFd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {}, named {};
    if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // its writer is alive
    if (::fstatat(folderFd.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(opened, named)) {
      ::unlinkat(folderFd.get(), name.c_str(), 0);
    }
  }
  ::closedir(listing);
}

}  // namespace velmora::platform
