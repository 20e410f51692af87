#include "platform/source_file.hpp"

#include <cerrno>
#include <new>
#include <utility>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errno/errno_calls.hpp"
#include "platform/posix/system_calls.hpp"

namespace velmora::platform {

namespace {

FileVersion versionOf(const struct stat& info) {
  FileVersion version;
  version.device = static_cast<std::uint64_t>(info.st_dev);
  version.inode = static_cast<std::uint64_t>(info.st_ino);
  version.size = static_cast<std::uint64_t>(info.st_size);
#ifdef __APPLE__
  version.modifiedSeconds = info.st_mtimespec.tv_sec, version.modifiedNanoseconds = info.st_mtimespec.tv_nsec;
  version.changedSeconds = info.st_ctimespec.tv_sec, version.changedNanoseconds = info.st_ctimespec.tv_nsec;
#else
  version.modifiedSeconds = info.st_mtim.tv_sec, version.modifiedNanoseconds = info.st_mtim.tv_nsec;
  version.changedSeconds = info.st_ctim.tv_sec, version.changedNanoseconds = info.st_ctim.tv_nsec;
#endif
  version.links = static_cast<std::uint64_t>(info.st_nlink);
  return version;
}

ItemInfo itemOf(const struct stat& info) {
  ItemInfo item;
  if (S_ISREG(info.st_mode)) {
    item.type = ItemType::regular;
  } else if (S_ISDIR(info.st_mode)) {
    item.type = ItemType::directory;
  } else if (S_ISLNK(info.st_mode)) {
    item.type = ItemType::symlink;
  }
  item.permissions = static_cast<std::uint32_t>(info.st_mode) & 07777;
  item.size = static_cast<std::uint64_t>(info.st_size);
  item.modified = info.st_mtime;
  item.version = versionOf(info);
  return item;
}

}  // namespace

namespace {
// Below this, the allocator's own mapping threshold keeps RSS honest enough.
constexpr std::size_t kMapAtLeast = 64u << 10;
}  // namespace

DataBuffer::DataBuffer(std::size_t size) : size_(size) {
  if (size < kMapAtLeast) {
    data_ = new unsigned char[size == 0 ? 1 : size];
    return;
  }
  void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<unsigned char*>(mapped);
  mapped_ = true;
}

DataBuffer::DataBuffer(DataBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)), mapped_(other.mapped_) {}

DataBuffer& DataBuffer::operator=(DataBuffer&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = other.mapped_;
  }
  return *this;
}

void DataBuffer::reset() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    ::munmap(data_, size_);
  } else {
    delete[] data_;
  }
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
}

FolderReader::FolderReader(int folder) {
  const int fd = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) throwErrno(errno, "dup");
  DIR* listing = ::fdopendir(fd);
  if (listing == nullptr) {
    const int error = errno;
    ::close(fd);
    throwErrno(error, "fdopendir");
  }
  folder_ = listing;
}

FolderReader::~FolderReader() { ::closedir(static_cast<DIR*>(folder_)); }

bool FolderReader::next(std::string& name) {
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(static_cast<DIR*>(folder_));
    if (entry == nullptr) {
      if (errno != 0) throwErrno(errno, "readdir");
      return false;
    }
    const char* found = entry->d_name;
    if (found[0] == '.' && (found[1] == '\0' || (found[1] == '.' && found[2] == '\0'))) continue;
    name = found;
    return true;
  }
}

ItemInfo FolderReader::describe(const std::string& name) const {
  struct stat info {};
  if (posix::sys::fstatat(::dirfd(static_cast<DIR*>(folder_)), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    throwErrno(errno, name);
  }
  return itemOf(info);
}

std::string FolderReader::linkTarget(const std::string& name) const {
  std::string target(256, '\0');
  while (true) {
    const ssize_t length = ::readlinkat(::dirfd(static_cast<DIR*>(folder_)), name.c_str(), target.data(), target.size());
    if (length < 0) throwErrno(errno, name);
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

SourceFile::SourceFile(int folder, const std::string& name) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  // A network file system's open may be interrupted by a signal: retried.
  fd_.reset(retryOnInterrupt(
      [&] { return posix::sys::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
  if (!fd_) throwErrno(errno, name);
  struct stat info {};
  if (posix::sys::fstat(fd_.get(), &info) != 0) throwErrno(errno, name);
  regular_ = S_ISREG(info.st_mode);
  opened_ = versionOf(info);
  if (!regular_) opened_.size = 0;
}

FileVersion SourceFile::currentVersion() const {
  struct stat info {};
  if (posix::sys::fstat(fd_.get(), &info) != 0) throwErrno(errno, "fstat");
  return versionOf(info);
}

void SourceFile::readAt(std::uint64_t offset, unsigned char* into, std::size_t length) const {
  while (length > 0) {
    const ssize_t got =
        retryOnInterrupt([&] { return posix::sys::pread(fd_.get(), into, length, static_cast<off_t>(offset)); });
    if (got < 0) throwErrno(errno, "read");
    if (got == 0) throwErrno(ENODATA, "read");
    into += got;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::size_t>(got);
  }
}

}  // namespace velmora::platform
