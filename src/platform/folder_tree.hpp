// The tree being archived, walked by descriptors: every folder is opened
// relative to its parent's descriptor (O_DIRECTORY | O_NOFOLLOW) and every
// file relative to its folder's (O_NOFOLLOW), never by its path, so that a
// folder swapped for a link is never followed and depth is not limited by
// PATH_MAX. A path is only ever a message.
//
// Each folder below the root is known by its name in its parent and the
// identity (device, inode) it had when its parent was listed. Its
// descriptor is opened on first use and then kept while in use; once
// unused, at most kMostIdleFolders descriptors stay open (the most recently
// used), and a folder whose descriptor was closed is opened again from its
// parent's, the same way, when next needed. So the descriptors open at once
// are at most kMostIdleFolders, plus the root's, plus one per Pin held (a
// lister's folder, with its listing's duplicate: two; a file being opened)
// and one more per folder being opened. Files' own descriptors are apart. A folder that opens as anything but the one listed (a link, a
// file, another folder put in its place) throws ItemChanged; one renamed
// away while its descriptor is open is still read, as it was listed.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/source_file.hpp"
#include "platform/unique_fd.hpp"

namespace velmora::platform {

// A folder or file found other than it was listed: the walk stops there
// rather than read what took its place.
class ItemChanged : public std::runtime_error {
 public:
  ItemChanged() : std::runtime_error("it changed while being archived") {}
};

class FolderTree {
 public:
  static constexpr std::size_t kMostIdleFolders = 64;
  struct Folder;
  using FolderRef = std::shared_ptr<Folder>;

  // Opens `path`, a final link followed. Throws std::system_error with errno.
  explicit FolderTree(const std::string& path);
  ~FolderTree();
  FolderTree(const FolderTree&) = delete;
  FolderTree& operator=(const FolderTree&) = delete;

  const FolderRef& root() const noexcept { return root_; }
  // The folder `name` of `parent`, as `info` described it when `parent` was
  // listed; nothing is opened yet.
  FolderRef child(const FolderRef& parent, const std::string& name, const ItemInfo& info);

  // A folder's descriptor, open while the pin lives. Throws ItemChanged, or
  // std::system_error with errno.
  class Pin {
   public:
    Pin(FolderTree& tree, const FolderRef& folder);
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    int descriptor() const noexcept { return fd_; }

   private:
    FolderTree& tree_;
    FolderRef folder_;
    int fd_;
  };

  // Opens the file `name` of `folder` for reading (see SourceFile).
  SourceFile openFile(const FolderRef& folder, const std::string& name);

 private:
  int acquire(const FolderRef& folder);
  void release(const FolderRef& folder) noexcept;

  std::mutex mutex_;
  std::list<FolderRef> idle_;  // open, unused, most recent first
  FolderRef root_;
};

namespace testing {
// Sets how many unused folder descriptors stay open (kMostIdleFolders when
// not set), so that a test can make every folder be opened again.
void setMostIdleFolders(std::size_t most);
}  // namespace testing

}  // namespace velmora::platform
