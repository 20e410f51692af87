// Listing, reading and deflating a folder ahead of the zip writer, with
// the waits of each stage overlapping the others.
//
// On a network file system nearly all of an archive's time is waiting:
// every lookup, open and read is a round trip. So the work runs in three
// pools that wait independently:
//   - listers (as many as the readers): each lists one folder at a time
//     through its own descriptor, examining every entry; folders are taken
//     in name order, and a file is offered to the readers as soon as it has
//     been examined, while the rest of the tree is still being listed;
//   - readers (`readers` threads): each reads one piece (at most
//     kPieceSize) of a file at a time, so that many reads are in flight and
//     the pieces of a large file are read in parallel;
//   - compressors (`threads` threads): deflate each unit once all its
//     pieces are in.
// A unit is what is deflated in one go: a whole file up to kWholeFileLimit
// (libdeflate, in one call), otherwise a kChunkSize chunk of a stream that
// the chunks join into (platform/deflate.hpp). A file whose name says it
// is compressed already (".gz", ".png", ".zip", ...) is not deflated: its
// data goes into deflate's stored blocks, which costs a copy instead of
// the most expensive deflate work there is, for the same size. Units
// depend only on the files' names and sizes, so the archive is the same bytes for every number of
// threads and readers.
//
// Memory is bounded by what is buffered, not by the files' sizes: a unit
// is charged its input when a reader admits it and its compressed output
// once deflated, until the zip writer has copied it. Units are admitted in
// name order (the writer's order) within kMemoryBudget, of which at most
// half while the listing still goes on (a name found later may come
// first); the unit the writer waits for is admitted whatever the budget,
// so the writer never waits for a unit that the budget keeps out.
//
// The tree is walked by descriptors (platform/folder_tree.hpp): a folder
// or file that is not the one listed fails the zip as changed, and a path
// is only a message.
//
// Each file is opened once, by its first piece, and every piece is read
// from that descriptor; its version (identity, size, times, link count) when listed,
// when opened and after its last piece must agree, or the file fails as
// changed while being archived: never a mix of two contents under one
// valid CRC.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/folder_tree.hpp"
#include "platform/source_file.hpp"
#include "platform/zip_writer.hpp"

namespace velmora::archive {

namespace testing {
enum class ReadStep {
  opening,    // before the file is opened (offset 0)
  pieceRead,  // after the piece at `offset` is read
};
// Called on a reader thread at each step, with the file's path, so that a
// test can change the file at a known point. Set it only while no archive
// is being made.
void setReadHook(std::function<void(const std::string& path, ReadStep step, std::uint64_t offset)> hook);
// Called on a lister thread before each folder is listed, with its path.
void setFolderListHook(std::function<void(const std::string& path)> hook);
}  // namespace testing

// One thing inside the folder, as listed.
struct ListedItem {
  std::string name;  // relative, with "/" separators; folders end with "/"
  platform::ItemInfo info;
  std::string linkTarget;  // of a link
  std::size_t file = 0;    // of a regular file: its number in the pipeline
  platform::FolderTree::FolderRef folder;  // where it was listed
};

class FolderPipeline {
 public:
  static constexpr std::size_t kWholeFileLimit = 8u << 20;
  static constexpr std::size_t kChunkSize = 1u << 20;
  static constexpr std::size_t kPieceSize = 1u << 20;
  // Input and output buffered. Besides it, each compressor keeps a unit's
  // output bound and its compressors' state.
  static constexpr std::size_t kMemoryBudget = 64u << 20;
  // Charged for every unit at least, for its bookkeeping and the
  // allocator's slack: a folder of small files admits at most 2,048 at a
  // time, which keeps every reader busy.
  static constexpr std::size_t kLeastCharge = 32u << 10;

  // Starts listing `folder` (an existing folder; a final link followed) at
  // once. `cancelled` is polled by every thread.
  FolderPipeline(const std::filesystem::path& folder, unsigned threads, unsigned readers,
                 std::function<bool()> cancelled);
  ~FolderPipeline();  // stops every thread and waits for them
  FolderPipeline(const FolderPipeline&) = delete;
  FolderPipeline& operator=(const FolderPipeline&) = delete;

  // Waits until the folder is listed and returns its items sorted by name.
  // Throws the listing's error (ZipFolderError, or
  // std::filesystem::filesystem_error for a folder that cannot be listed),
  // or ZipFolderError `cancelled`.
  std::vector<const ListedItem*> listing();

  // Receives the number of bytes deflated so far, on the writer's thread,
  // while it reads or waits.
  void setProgress(std::function<void(std::uint64_t)> progress) { progress_ = std::move(progress); }

  // The deflate data of a listed regular file, for the zip writer; read in
  // name order. Its read() throws the file's error (naming it), or
  // ZipFolderError `cancelled`.
  platform::DeflatedSource& source(const ListedItem& item);

 private:
  struct Unit;
  struct File;
  // A read of part of a unit's input.
  struct Piece {
    Unit* unit;
    std::uint64_t offset;
    std::size_t length;
  };
  class Source;
  class Compressor;
  struct UnitOrder {
    bool operator()(const Unit* a, const Unit* b) const;
  };

  void list();
  void listFolder(const std::string& relative, const platform::FolderTree::FolderRef& folder);
  void addItem(ListedItem item, platform::FolderTree::FolderRef folderToList);
  void read();
  void readPiece(const Piece& piece);
  void compress();
  bool mayAdmit() const;
  void admit(std::unique_lock<std::mutex>& lock);
  void fail(Unit& unit, std::exception_ptr error);
  void stopAll() noexcept;
  Unit& waitFor(Unit& unit);
  void release(Unit& unit);
  std::string pathOf(const std::string& relative) const;

  const std::filesystem::path root_;
  std::unique_ptr<platform::FolderTree> tree_;
  std::function<bool()> cancelled_;
  std::function<void(std::uint64_t)> progress_;

  std::mutex mutex_;
  std::condition_variable listersWake_;      // a folder to list, the listing's end, or stop
  std::condition_variable readersWake_;      // a piece to read, room in the budget, or stop
  std::condition_variable compressorsWake_;  // a unit read, or stop
  std::condition_variable waiterWake_;       // the listing ended, a unit is done, or a failure

  // Listing.
  static constexpr std::size_t kFileMutexes = 64;
  std::mutex fileMutexes_[kFileMutexes];  // each file's open and close, by its number
  std::deque<ListedItem> items_;
  // Behind a pointer: a deque of a type declared only here is not allowed
  // by every standard library (libc++ wants it complete).
  std::unique_ptr<std::deque<File>> files_;
  // By relative name, without the final "/".
  std::map<std::string, platform::FolderTree::FolderRef> foldersToList_;
  std::size_t listing_ = 0;              // folders being listed
  bool listed_ = false;
  std::exception_ptr listingError_;

  // Reading and deflating.
  std::set<Unit*, UnitOrder> pending_;     // not admitted yet
  std::deque<Piece> pieces_;               // of admitted units, not yet being read
  std::set<Unit*, UnitOrder> toCompress_;  // read, not yet being deflated
  Unit* wanted_ = nullptr;                 // the unit the writer waits for
  Unit* failed_ = nullptr;                 // the first failed unit in name order
  std::size_t reserved_ = 0;               // bytes charged
  std::uint64_t deflated_ = 0;             // input bytes deflated so far
  bool stop_ = false;

  std::vector<std::thread> threads_;
};

}  // namespace velmora::archive
