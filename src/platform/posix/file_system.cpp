#include "platform/file_system.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __APPLE__
#include <uuid/uuid.h>
#endif

#include "platform/errno/errno_calls.hpp"
#include "platform/posix/system_calls.hpp"

namespace velmora::platform {

namespace fs = std::filesystem;
namespace sys = posix::sys;

bool fileExists(const std::string& path) noexcept {
  struct stat info {};
  return sys::fstatat(AT_FDCWD, path.c_str(), &info, 0) == 0;
}

std::time_t modificationTime(const std::string& path) noexcept {
  struct stat info {};
  if (sys::fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return info.st_mtime;
}

namespace {

[[noreturn]] void throwExists(const std::string& final) {
  throw fs::filesystem_error("An archive already exists there", fs::path(final),
                             std::error_code(EEXIST, std::generic_category()));
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// An unnamed file in `folder`, or nothing where the file system has none.
UniqueFd openUnnamed(const std::string& folder) {
#if defined(__linux__) && defined(O_TMPFILE)
  // 0666 less the umask, as a file created by name would be.
  UniqueFd fd(sys::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
  if (fd) return fd;
  const int error = errno;
  // Refused by the file system (FUSE, FAT) or unknown to an old kernel,
  // which takes the flag for O_DIRECTORY.
  if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL) throwErrno(error, "Cannot create a file in \"" + folder + "\"");
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
    UniqueFd fd(sys::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) throwErrno(errno, "Cannot create \"" + path + "\"");
    // Blocking: a cleaner holds the lock only to look and unlink.
    retryOnInterrupt([&] { return sys::flock(fd.get(), LOCK_EX); });
    struct stat opened {}, named {};
    if (sys::fstat(fd.get(), &opened) == 0 && sys::fstatat(AT_FDCWD, path.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(opened, named)) {
      return fd;
    }
    if (attempt == 8) throwErrno(EAGAIN, "Cannot keep \"" + path + "\"");
  }
}

[[noreturn]] void throwPublishing(const std::string& what, const std::string& final, int error) {
  throw fs::filesystem_error(what, fs::path(final), std::error_code(error, std::generic_category()));
}

// So that the new name survives a power cut. A folder that cannot be
// flushed (some FUSE file systems refuse) is left as it is: the archive's
// data is on disk already, and it is in place.
void flushFolder(const std::string& folder) noexcept {
  UniqueFd fd(sys::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) sys::fsync(fd.get());
}

// 64-bit FNV-1a, as 16 hex digits.
std::string digest(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}

}  // namespace

std::string hostIdentity() {
  static const std::string identity = [] {
    std::string id;
#ifdef __APPLE__
    uuid_t uuid{};
    const timespec wait{1, 0};
    if (::gethostuuid(uuid, &wait) == 0) id.assign(reinterpret_cast<const char*>(uuid), sizeof uuid);
#else
    for (const char* file : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
      std::ifstream(file) >> id;
      if (!id.empty()) break;
    }
#endif
    if (id.empty()) {
      char name[256] = {};
      ::gethostname(name, sizeof name - 1);
      id = name;
    }
    return digest(id);
  }();
  return identity;
}

PendingFile::PendingFile(const std::string& folder, const std::string& fallbackPath) : folder_(folder) {
  fd_ = openUnnamed(folder);
  if (fd_) return;
  fd_ = createLocked(fallbackPath);
  temporaryPath_ = fallbackPath;
}

PendingFile::~PendingFile() {
  // Unlinked while still locked, so that no cleaner ever sees it unlocked.
  if (!published_ && !temporaryPath_.empty()) sys::unlink(temporaryPath_.c_str());
}

void PendingFile::publish(const std::string& final) {
  // Flushed before it has a name: a power cut never leaves a named archive
  // with data missing.
  if (sys::fsync(fd_.get()) != 0) throwPublishing("Cannot flush the archive", final, errno);
  publishFlushed(final);
  flushFolder(folder_);
}

void PendingFile::publishFlushed(const std::string& final) {
  if (temporaryPath_.empty()) {
#if defined(__linux__) && defined(O_TMPFILE)
    // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; the /proc link does not.
    int result = sys::linkat(fd_.get(), "", AT_FDCWD, final.c_str(), AT_EMPTY_PATH);
    if (result != 0 && errno != EEXIST) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
      result = sys::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, final.c_str(), AT_SYMLINK_FOLLOW);
    }
    if (result != 0) {
      const int error = errno;
      if (error == EEXIST) throwExists(final);
      throwPublishing("Cannot give the archive its name", final, error);
    }
    published_ = true;
    return;
#endif
  }
  if (sys::linkat(AT_FDCWD, temporaryPath_.c_str(), AT_FDCWD, final.c_str(), 0) == 0) {
    published_ = true;
    sys::unlink(temporaryPath_.c_str());
    return;
  }
  if (errno == EEXIST) throwExists(final);
  // File systems without hard links (FAT, exFAT).
#if defined(__linux__) && defined(RENAME_NOREPLACE)
  if (sys::renameat2(AT_FDCWD, temporaryPath_.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) == 0) {
    published_ = true;
    return;
  }
  if (errno == EEXIST) throwExists(final);
#endif
  // Without a rename that refuses to replace: a check, then a rename.
  if (fs::exists(fs::symlink_status(final))) throwExists(final);
  if (sys::rename(temporaryPath_.c_str(), final.c_str()) != 0) {
    throwPublishing("Cannot give the archive its name", final, errno);
  }
  published_ = true;
}

void removeUnlocked(const std::string& folder, const std::function<bool(const std::string& name)>& isOurs) noexcept {
  UniqueFd folderFd(sys::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
    UniqueFd fd(sys::openat(folderFd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {}, named {};
    if (!fd || sys::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    if (sys::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // its writer is alive
    if (sys::fstatat(folderFd.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(opened, named)) {
      ::unlinkat(folderFd.get(), name.c_str(), 0);
    }
  }
  ::closedir(listing);
}

}  // namespace velmora::platform
