// Reading the things inside a folder that is being archived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/unique_fd.hpp"

namespace velmora::platform {

enum class ItemType { regular, directory, symlink, other };

// What tells that a file's content may have changed: any difference
// between two of these taken of the same file. The link count catches a
// file replaced by a rename (its old inode is unlinked) within the clock's
// tick, where the times may not have moved; the identity (device, inode),
// another file put under its name.
struct FileVersion {
  std::uint64_t device = 0, inode = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedSeconds = 0, modifiedNanoseconds = 0;
  std::int64_t changedSeconds = 0, changedNanoseconds = 0;
  std::uint64_t links = 0;
  bool operator==(const FileVersion&) const = default;
};

// What lstat tells of one item: a link is described itself, never followed.
struct ItemInfo {
  ItemType type = ItemType::other;
  std::uint32_t permissions = 0;  // the mode's 07777 bits
  std::uint64_t size = 0;
  std::time_t modified = 0;
  FileVersion version;
};

// A buffer for a file's data, whose memory returns to the system when it
// is freed: large ones are mapped on their own, because the allocator's
// heaps, shared by many threads, would keep what a stream of large buffers
// leaves behind, and the resident memory would outgrow what is buffered.
class DataBuffer {
 public:
  DataBuffer() = default;
  // Throws std::bad_alloc.
  explicit DataBuffer(std::size_t size);
  ~DataBuffer() { reset(); }
  DataBuffer(DataBuffer&& other) noexcept;
  DataBuffer& operator=(DataBuffer&& other) noexcept;
  DataBuffer(const DataBuffer&) = delete;
  DataBuffer& operator=(const DataBuffer&) = delete;

  unsigned char* get() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  void reset() noexcept;

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

// One folder's entries, read through one descriptor: each entry is
// examined relative to it, so that a deep path is not walked again for
// every entry (on a network file system, every step of a walk may wait).
class FolderReader {
 public:
  // Lists the folder open at `folder`, which stays the caller's (the
  // listing reads through a duplicate). Throws std::system_error with errno.
  explicit FolderReader(int folder);
  ~FolderReader();
  FolderReader(const FolderReader&) = delete;
  FolderReader& operator=(const FolderReader&) = delete;

  // The next entry's name ("." and ".." left out); false at the end.
  // Throws std::system_error with errno.
  bool next(std::string& name);
  // lstat of the entry `name`; throws std::system_error with errno.
  ItemInfo describe(const std::string& name) const;
  // The target of the link `name`; throws std::system_error with errno.
  std::string linkTarget(const std::string& name) const;

 private:
  void* folder_ = nullptr;  // the DIR stream, which owns the descriptor
};

// A file opened for reading without following a final link and without
// blocking, so that a FIFO or device put in a file's place is refused
// instead of hanging the reader.
class SourceFile {
 public:
  // Opens `name` relative to the folder open at `folder` (AT_FDCWD: the
  // working folder). Throws std::system_error with errno when it cannot be
  // opened or examined.
  SourceFile(int folder, const std::string& name);

  bool isRegular() const noexcept { return regular_; }
  std::uint64_t size() const noexcept { return opened_.size; }
  // As it was when opened.
  const FileVersion& openedVersion() const noexcept { return opened_; }
  // As it is now, through the descriptor. Throws std::system_error with errno.
  FileVersion currentVersion() const;

  // Fills `length` bytes from `offset`. Throws std::system_error with errno on
  // a read error, and with ENODATA when the file ends before them.
  void readAt(std::uint64_t offset, unsigned char* into, std::size_t length) const;

 private:
  UniqueFd fd_;
  bool regular_ = false;
  FileVersion opened_;
};

}  // namespace velmora::platform
