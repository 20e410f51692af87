#include "platform/folder_tree.hpp"

#include <atomic>
#include <cerrno>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errno/errno_calls.hpp"
#include "platform/posix/system_calls.hpp"

namespace velmora::platform {

namespace {

std::atomic<std::size_t> mostIdle{FolderTree::kMostIdleFolders};

}  // namespace

void testing::setMostIdleFolders(std::size_t most) { mostIdle = most; }

struct FolderTree::Folder {
  FolderRef parent;  // null for the root
  std::string name;
  std::uint64_t device = 0, inode = 0;  // as listed

  // Guarded by the tree's mutex.
  int fd = -1;
  std::size_t users = 0;
  std::list<FolderRef>::iterator idle;  // valid while open and unused
};

FolderTree::FolderTree(const std::string& path) : root_(std::make_shared<Folder>()) {
  const int fd = retryOnInterrupt([&] { return posix::sys::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) throwErrno(errno, path);
  root_->fd = fd;
  root_->users = 1;  // never idle, never closed before the tree
}

FolderTree::~FolderTree() {
  std::lock_guard lock(mutex_);
  for (const FolderRef& folder : idle_) {
    ::close(folder->fd);
    folder->fd = -1;
  }
  idle_.clear();
  ::close(root_->fd);
  root_->fd = -1;
}

FolderTree::FolderRef FolderTree::child(const FolderRef& parent, const std::string& name, const ItemInfo& info) {
  auto folder = std::make_shared<Folder>();
  folder->parent = parent;
  folder->name = name;
  folder->device = info.version.device;
  folder->inode = info.version.inode;
  return folder;
}

// Opens whatever is missing between the nearest open ancestor and `folder`,
// each step relative to the one above, checking each folder's identity.
int FolderTree::acquire(const FolderRef& folder) {
  std::vector<FolderRef> closed;  // `folder` first, up to below the nearest open one
  FolderRef open = folder;
  {
    std::lock_guard lock(mutex_);
    while (open->fd < 0) {
      closed.push_back(open);
      open = open->parent;
    }
    if (open->users++ == 0) idle_.erase(open->idle);
  }
  while (!closed.empty()) {
    const FolderRef nextRef = std::move(closed.back());
    closed.pop_back();
    Folder& next = *nextRef;
    const int fd = retryOnInterrupt(
        [&] { return posix::sys::openat(open->fd, next.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
    const int error = errno;
    release(open);
    struct stat info {};
    if (fd >= 0 && posix::sys::fstat(fd, &info) != 0) {
      const int statError = errno;
      ::close(fd);
      throwErrno(statError, next.name);
    }
    if (fd < 0) {
      // A link (ELOOP; some systems say ENOTDIR) or a file in its place.
      if (error == ELOOP || error == ENOTDIR) throw ItemChanged();
      throwErrno(error, next.name);
    }
    if (static_cast<std::uint64_t>(info.st_dev) != next.device || static_cast<std::uint64_t>(info.st_ino) != next.inode) {
      ::close(fd);
      throw ItemChanged();
    }
    std::lock_guard lock(mutex_);
    if (next.fd >= 0) {
      ::close(fd);  // opened meanwhile by another thread: theirs is kept
      if (next.users++ == 0) idle_.erase(next.idle);
    } else {
      next.fd = fd;
      next.users = 1;
    }
    open = nextRef;
  }
  return open->fd;
}

// Held by the idle list until closed, so that a folder dropped by its
// items is never left open.
void FolderTree::release(const FolderRef& folder) noexcept {
  std::lock_guard lock(mutex_);
  if (--folder->users > 0) return;
  idle_.push_front(folder);
  folder->idle = idle_.begin();
  while (idle_.size() > mostIdle.load()) {
    Folder& oldest = *idle_.back();
    ::close(oldest.fd);
    oldest.fd = -1;
    idle_.pop_back();
  }
}

FolderTree::Pin::Pin(FolderTree& tree, const FolderRef& folder)
    : tree_(tree), folder_(folder), fd_(tree.acquire(folder)) {}

FolderTree::Pin::~Pin() { tree_.release(folder_); }

SourceFile FolderTree::openFile(const FolderRef& folder, const std::string& name) {
  const Pin pin(*this, folder);
  return SourceFile(pin.descriptor(), name);
}

}  // namespace velmora::platform
