#include "archive/folder_pipeline.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <system_error>

#include "platform/deflate.hpp"
#include "platform/errno/errno_calls.hpp"
#include "velmora/archive/zip_folder.hpp"

namespace velmora::archive {

namespace fs = std::filesystem;

namespace {

// How often a waiting caller looks at cancellation and reports progress.
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr unsigned kMostListers = 32;
// More threads than this would only fail to start.
constexpr unsigned kMostReaders = 1024;

std::function<void(const std::string&, testing::ReadStep, std::uint64_t)> readHook;
std::function<void(const std::string&)> folderListHook;

ZipFolderError changedError(const std::string& path) {
  return ZipFolderError(ZipFolderError::Case::unreadableItem,
                        "Cannot read \"" + path + "\": it changed while being archived");
}

ZipFolderError readError(const std::string& path, const std::system_error& error) {
  if (error.code() == std::errc::no_message_available) {
    return ZipFolderError(ZipFolderError::Case::unreadableItem,
                          "Cannot read \"" + path + "\": it became shorter while being archived");
  }
  return ZipFolderError(ZipFolderError::Case::unreadableItem,
                        "Cannot read \"" + path + "\": " + error.code().message(), error.code().value());
}

[[noreturn]] void throwCancelled() {
  throw ZipFolderError(ZipFolderError::Case::cancelled, "The zip was cancelled");
}

std::size_t charge(std::size_t bytes) { return std::max(bytes, FolderPipeline::kLeastCharge); }

// Kinds of file that are compressed already: deflating them again costs
// the most time for no gain. Decided by the name alone, so that the
// archive does not depend on what the threads saw first.
bool isCompressedAlready(const std::string& name) {
  static const char* const kExtensions[] = {
      "7z",  "aac",  "apk", "avi",  "avif", "br",   "bz2",  "deb",  "docx", "epub", "flac", "gif", "gz",
      "heic", "jar", "jpeg", "jpg", "lz",   "lz4",  "lzma", "m4a",  "m4v",  "mkv",  "mov",  "mp3", "mp4",
      "odp", "ods",  "odt", "oga",  "ogg",  "opus", "png",  "pptx", "rar",  "rpm",  "tbz2", "tgz", "txz",
      "webm", "webp", "whl", "woff", "woff2", "xlsx", "xz",  "zip",  "zst"};
  const auto slash = name.rfind('/');
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == name.size()) return false;
  std::string extension = name.substr(dot + 1);
  if (extension.size() > 5) return false;
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* known : kExtensions) {
    if (extension == known) return true;
  }
  return false;
}

// Deflate's stored blocks (RFC 1951, 3.2.4): the data as is, five bytes
// of header per 65,535 bytes, so that a stored file still joins the
// stream of chunks and the entry stays "deflated" for every reader.
constexpr std::size_t kStoredBlock = 65535;

std::size_t storedLength(std::size_t length) {
  return length + 5 * std::max<std::size_t>(1, (length + kStoredBlock - 1) / kStoredBlock);
}

void writeStored(const unsigned char* input, std::size_t length, bool last, unsigned char* output) {
  std::size_t done = 0;
  do {
    const std::size_t block = std::min(kStoredBlock, length - done);
    const bool final = last && done + block == length;
    *output++ = final ? 1 : 0;  // BFINAL, BTYPE 00, then byte-aligned
    *output++ = static_cast<unsigned char>(block & 0xff);
    *output++ = static_cast<unsigned char>(block >> 8);
    *output++ = static_cast<unsigned char>(~block & 0xff);
    *output++ = static_cast<unsigned char>((~block >> 8) & 0xff);
    if (block > 0) std::memcpy(output, input + done, block);
    output += block;
    done += block;
  } while (done < length);
}

}  // namespace

void testing::setReadHook(std::function<void(const std::string&, ReadStep, std::uint64_t)> hook) {
  readHook = std::move(hook);
}

void testing::setFolderListHook(std::function<void(const std::string&)> hook) { folderListHook = std::move(hook); }

struct FolderPipeline::Unit {
  Unit(File* file, std::uint64_t offset, std::size_t length, bool whole, bool last)
      : file(file), offset(offset), length(length), whole(whole), last(last) {}

  File* file;
  std::uint64_t offset;
  std::size_t length;
  bool whole;  // the whole file, deflated in one go
  bool last;   // the file's last unit: it ends the stream
  bool stored = false;  // in stored blocks, not compressed

  // Guarded by the mutex until done; then the writer's alone. The input is
  // filled by the readers of its pieces, each its own part.
  std::size_t piecesLeft = 0;
  std::size_t reserved = 0;
  platform::DataBuffer input;
  platform::DataBuffer output;
  std::size_t outputLength = 0;
  std::uint32_t crc = 0;
  std::exception_ptr error;
  bool done = false;
};

// Hands one file's units to the zip writer in order, joining their CRCs.
class FolderPipeline::Source : public platform::DeflatedSource {
 public:
  Source(FolderPipeline& pipeline, std::vector<Unit>& units) : pipeline_(pipeline), units_(units) {}

  std::size_t read(unsigned char* buffer, std::size_t capacity) override {
    while (next_ < units_.size() && capacity > 0) {
      Unit& unit = pipeline_.waitFor(units_[next_]);
      const std::size_t count = std::min(capacity, unit.outputLength - copied_);
      std::memcpy(buffer, unit.output.get() + copied_, count);
      copied_ += count;
      if (copied_ == unit.outputLength) {
        crc_ = platform::crc32Combine(crc_, unit.crc, unit.length);
        ++next_;
        copied_ = 0;
        pipeline_.release(unit);
      }
      if (count > 0) return count;
    }
    return 0;
  }

  std::uint32_t crc32() const override { return crc_; }

 private:
  FolderPipeline& pipeline_;
  std::vector<Unit>& units_;
  std::size_t next_ = 0;
  std::size_t copied_ = 0;  // of unit next_'s output
  std::uint32_t crc_ = 0;
};

// One regular file: its units, and its descriptor, opened by the first
// piece read and checked and closed by the last.
struct FolderPipeline::File {
  File(FolderPipeline& pipeline, const ListedItem& item, std::mutex& mutex)
      : item(item), source(pipeline, units), mutex(mutex) {}

  const ListedItem& item;   // its size is the bytes archived
  std::vector<Unit> units;  // fixed before the file is offered
  Source source;

  std::mutex& mutex;  // shared with other files: a folder may hold millions
  std::unique_ptr<platform::SourceFile> opened;
  std::exception_ptr openError;  // what opening it found, for every piece
  std::size_t piecesLeft = 0;

  const platform::SourceFile& open(platform::FolderTree& tree, const std::string& path) {
    std::lock_guard lock(mutex);
    if (openError) std::rethrow_exception(openError);
    if (opened) return *opened;
    if (readHook) readHook(path, testing::ReadStep::opening, 0);
    try {
      platform::SourceFile file = tree.openFile(item.folder, item.name.substr(item.name.rfind('/') + 1));
      if (!file.isRegular()) {
        throw ZipFolderError(ZipFolderError::Case::unsupportedItem,
                             "Cannot archive \"" + path + "\": it is no longer a regular file");
      }
      if (file.size() < item.info.size) platform::throwErrno(ENODATA, "read");
      if (!(file.openedVersion() == item.info.version)) throw changedError(path);
      opened = std::make_unique<platform::SourceFile>(std::move(file));
    } catch (const platform::ItemChanged&) {
      openError = std::make_exception_ptr(changedError(path));
      std::rethrow_exception(openError);
    } catch (const std::system_error& error) {
      openError = std::make_exception_ptr(readError(path, error));
      std::rethrow_exception(openError);
    } catch (...) {
      openError = std::current_exception();
      throw;
    }
    return *opened;
  }

  // After a piece is read: the last one compares the file with what it was
  // when opened, and closes it.
  void pieceRead(const std::string& path) {
    std::lock_guard lock(mutex);
    if (--piecesLeft > 0 || !opened) return;
    bool unchanged = false;
    try {
      unchanged = opened->currentVersion() == opened->openedVersion();
    } catch (const std::system_error& error) {
      opened.reset();
      throw readError(path, error);
    }
    opened.reset();
    if (!unchanged) throw changedError(path);
  }
};

bool FolderPipeline::UnitOrder::operator()(const Unit* a, const Unit* b) const {
  if (a->file == b->file) return a->offset < b->offset;
  return a->file->item.name < b->file->item.name;
}

// The compressors and output buffer of one compressing thread, reused
// unit after unit.
class FolderPipeline::Compressor {
 public:
  void deflate(Unit& unit) {
    const unsigned char* data = unit.input.get();
    unit.crc = platform::crc32(0, data, unit.length);
    if (unit.stored) {
      unit.outputLength = storedLength(unit.length);
      unit.output = platform::DataBuffer(unit.outputLength);
      writeStored(data, unit.length, unit.last, unit.output.get());
      return;
    }
    std::size_t length;
    if (unit.whole) {
      if (!whole_) whole_ = std::make_unique<platform::WholeDeflater>();
      reserve(whole_->bound(unit.length));
      length = whole_->compress(data, unit.length, scratch_.get(), capacity_);
    } else {
      if (!chunk_) chunk_ = std::make_unique<platform::ChunkDeflater>();
      reserve(chunk_->bound(unit.length));
      length = chunk_->compress(data, unit.length, unit.last, scratch_.get(), capacity_);
    }
    // Only what the output takes stays charged until the writer copies it.
    unit.output = platform::DataBuffer(length);
    std::memcpy(unit.output.get(), scratch_.get(), length);
    unit.outputLength = length;
  }

 private:
  void reserve(std::size_t bound) {
    if (capacity_ >= bound) return;
    scratch_ = platform::DataBuffer(bound);
    capacity_ = bound;
  }

  platform::DataBuffer scratch_;
  std::size_t capacity_ = 0;
  std::unique_ptr<platform::WholeDeflater> whole_;
  std::unique_ptr<platform::ChunkDeflater> chunk_;
};

FolderPipeline::FolderPipeline(const fs::path& folder, unsigned threads, unsigned readers,
                               std::function<bool()> cancelled)
    : root_(folder), cancelled_(std::move(cancelled)), files_(std::make_unique<std::deque<File>>()) {
  try {
    tree_ = std::make_unique<platform::FolderTree>(root_.string());
    foldersToList_.emplace("", tree_->root());
  } catch (const std::system_error& error) {
    listingError_ = std::make_exception_ptr(fs::filesystem_error("Cannot list a folder", root_, error.code()));
  }
  readers = std::clamp(readers, 1u, kMostReaders);
  threads = std::clamp(threads, 1u, kMostReaders);
  try {
    for (unsigned i = 0; i < std::min(readers, kMostListers); ++i) threads_.emplace_back([this] { list(); });
    for (unsigned i = 0; i < readers; ++i) threads_.emplace_back([this] { read(); });
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { compress(); });
  } catch (...) {
    stopAll();  // the destructor does not run for a constructor that throws
    throw;
  }
}

FolderPipeline::~FolderPipeline() { stopAll(); }

void FolderPipeline::stopAll() noexcept {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  listersWake_.notify_all();
  readersWake_.notify_all();
  compressorsWake_.notify_all();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

std::string FolderPipeline::pathOf(const std::string& relative) const {
  return relative.empty() ? root_.string() : (root_ / relative).string();
}

// ---- Listing ----

void FolderPipeline::list() {
  std::unique_lock lock(mutex_);
  while (true) {
    listersWake_.wait(lock, [&] { return stop_ || listed_ || listingError_ || !foldersToList_.empty(); });
    if (stop_ || listed_ || listingError_) return;
    const auto [relative, folder] = *foldersToList_.begin();
    foldersToList_.erase(foldersToList_.begin());
    ++listing_;
    lock.unlock();
    std::exception_ptr error;
    try {
      listFolder(relative, folder);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    --listing_;
    if (error && !listingError_) listingError_ = error;
    if (!listingError_ && listing_ == 0 && foldersToList_.empty()) listed_ = true;
    if (listed_ || listingError_) {
      listersWake_.notify_all();
      readersWake_.notify_all();  // the whole budget is open now
      waiterWake_.notify_all();
    }
  }
}

void FolderPipeline::listFolder(const std::string& relative, const platform::FolderTree::FolderRef& here) {
  const std::string path = pathOf(relative);
  if (folderListHook) folderListHook(path);
  try {
    const platform::FolderTree::Pin pin(*tree_, here);
    platform::FolderReader folder(pin.descriptor());
    std::string name;
    while (folder.next(name)) {
      if (cancelled_ && cancelled_()) throwCancelled();
      ListedItem item;
      item.name = relative.empty() ? name : relative + "/" + name;
      item.folder = here;
      const std::string itemPath = path + "/" + name;
      platform::FolderTree::FolderRef folderToList;
      try {
        item.info = folder.describe(name);
        switch (item.info.type) {
          case platform::ItemType::directory:
            folderToList = tree_->child(here, name, item.info);
            break;
          case platform::ItemType::symlink:
            item.linkTarget = folder.linkTarget(name);
            break;
          case platform::ItemType::regular:
            break;
          case platform::ItemType::other:
            throw ZipFolderError(ZipFolderError::Case::unsupportedItem,
                                 "Cannot archive \"" + itemPath + "\": not a file, folder or link");
        }
      } catch (const std::system_error& error) {
        throw ZipFolderError(ZipFolderError::Case::unreadableItem,
                             "Cannot read \"" + itemPath + "\": " + error.code().message(), error.code().value());
      }
      if (item.name.size() + (folderToList ? 1 : 0) > platform::ZipWriter::kLongestName) {
        throw ZipFolderError(ZipFolderError::Case::unsupportedItem,
                             "Cannot archive \"" + itemPath + "\": its name in the archive would be longer than 65,535 bytes");
      }
      addItem(std::move(item), std::move(folderToList));
    }
  } catch (const platform::ItemChanged&) {
    throw changedError(path);
  } catch (const std::system_error& error) {
    throw fs::filesystem_error("Cannot list a folder", path, error.code());
  }
}

void FolderPipeline::addItem(ListedItem item, platform::FolderTree::FolderRef folderToList) {
  std::lock_guard lock(mutex_);
  const bool regular = item.info.type == platform::ItemType::regular;
  if (regular) item.file = files_->size();
  if (folderToList) item.name += '/';
  const ListedItem& listed = items_.emplace_back(std::move(item));
  if (regular) {
    File& file = files_->emplace_back(*this, listed, fileMutexes_[files_->size() % kFileMutexes]);
    const std::uint64_t size = listed.info.size;
    if (size <= kWholeFileLimit) {
      file.units.emplace_back(&file, 0, static_cast<std::size_t>(size), true, true);
    } else {
      file.units.reserve(static_cast<std::size_t>((size + kChunkSize - 1) / kChunkSize));
      for (std::uint64_t offset = 0; offset < size; offset += kChunkSize) {
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, size - offset));
        file.units.emplace_back(&file, offset, length, false, offset + length == size);
      }
    }
    const bool stored = isCompressedAlready(listed.name);
    for (Unit& unit : file.units) {
      unit.stored = stored;
      unit.piecesLeft = std::max<std::size_t>((unit.length + kPieceSize - 1) / kPieceSize, 1);
      file.piecesLeft += unit.piecesLeft;
      pending_.insert(&unit);
    }
    readersWake_.notify_one();
  }
  if (folderToList) {
    foldersToList_.emplace(listed.name.substr(0, listed.name.size() - 1), std::move(folderToList));
    listersWake_.notify_one();
  }
}

std::vector<const ListedItem*> FolderPipeline::listing() {
  std::unique_lock lock(mutex_);
  while (true) {
    waiterWake_.wait_for(lock, kPollInterval, [&] { return listed_ || listingError_; });
    if (listingError_) std::rethrow_exception(listingError_);
    if (listed_) break;
    lock.unlock();
    if (cancelled_ && cancelled_()) throwCancelled();
    lock.lock();
  }
  std::vector<const ListedItem*> sorted;
  sorted.reserve(items_.size());
  for (const auto& item : items_) sorted.push_back(&item);
  std::sort(sorted.begin(), sorted.end(), [](const ListedItem* a, const ListedItem* b) { return a->name < b->name; });
  return sorted;
}

platform::DeflatedSource& FolderPipeline::source(const ListedItem& item) { return (*files_)[item.file].source; }

// ---- Reading ----

bool FolderPipeline::mayAdmit() const {
  if (pending_.empty()) return false;
  Unit* next = *pending_.begin();
  const std::size_t limit = listed_ ? kMemoryBudget : kMemoryBudget / 2;
  return reserved_ == 0 || reserved_ + charge(next->length) <= limit || next == wanted_;
}

void FolderPipeline::admit(std::unique_lock<std::mutex>&) {
  Unit& unit = **pending_.begin();
  pending_.erase(pending_.begin());
  unit.reserved = charge(unit.length);
  reserved_ += unit.reserved;
  unit.input = platform::DataBuffer(unit.length);
  std::uint64_t offset = unit.offset;
  const std::uint64_t end = unit.offset + unit.length;
  do {
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kPieceSize, end - offset));
    pieces_.push_back({&unit, offset, length});
    offset += length;
  } while (offset < end);
}

void FolderPipeline::read() {
  std::unique_lock lock(mutex_);
  while (true) {
    readersWake_.wait(lock, [&] { return stop_ || failed_ || !pieces_.empty() || mayAdmit(); });
    if (stop_ || failed_) return;
    if (pieces_.empty()) admit(lock);
    const Piece piece = pieces_.front();
    pieces_.pop_front();
    // One reader wakes the next while work is left: waking them all for every
    // freed byte of budget costs more than the reads, with dozens of readers.
    if (!pieces_.empty() || mayAdmit()) readersWake_.notify_one();
    lock.unlock();
    if (cancelled_ && cancelled_()) return;  // the waiting caller sees it too
    std::exception_ptr error;
    try {
      readPiece(piece);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    Unit& unit = *piece.unit;
    if (error) {
      fail(unit, error);
    } else if (--unit.piecesLeft == 0 && !unit.done) {
      toCompress_.insert(&unit);
      compressorsWake_.notify_one();
    }
  }
}

void FolderPipeline::readPiece(const Piece& piece) {
  Unit& unit = *piece.unit;
  File& file = *unit.file;
  const std::string path = pathOf(file.item.name);
  try {
    const platform::SourceFile& source = file.open(*tree_, path);
    source.readAt(piece.offset, unit.input.get() + (piece.offset - unit.offset), piece.length);
  } catch (const std::system_error& error) {
    throw readError(path, error);
  }
  if (readHook) readHook(path, testing::ReadStep::pieceRead, piece.offset);
  file.pieceRead(path);
}

void FolderPipeline::fail(Unit& unit, std::exception_ptr error) {
  // Its input stays: another reader may still be filling a piece of it.
  if (!unit.done) {
    unit.done = true;
    unit.error = error;
  }
  if (!failed_ || UnitOrder()(&unit, failed_)) failed_ = &unit;
  readersWake_.notify_all();
  compressorsWake_.notify_all();
  waiterWake_.notify_all();
}

// ---- Deflating ----

void FolderPipeline::compress() {
  Compressor compressor;
  std::unique_lock lock(mutex_);
  while (true) {
    compressorsWake_.wait(lock, [&] { return stop_ || failed_ || !toCompress_.empty(); });
    if (stop_ || failed_) return;
    Unit& unit = **toCompress_.begin();
    toCompress_.erase(toCompress_.begin());
    lock.unlock();
    std::exception_ptr error;
    try {
      compressor.deflate(unit);
    } catch (...) {
      error = std::current_exception();
    }
    unit.input.reset();
    lock.lock();
    if (error) {
      fail(unit, error);
      continue;
    }
    const std::size_t reserved = charge(unit.outputLength);
    reserved_ = reserved_ - unit.reserved + reserved;
    unit.reserved = reserved;
    unit.done = true;
    deflated_ += unit.length;
    waiterWake_.notify_all();
    if (mayAdmit()) readersWake_.notify_one();  // the output is smaller than the input, mostly
  }
}

// ---- The writer's side ----

FolderPipeline::Unit& FolderPipeline::waitFor(Unit& unit) {
  while (true) {
    std::uint64_t deflated = 0;
    {
      std::unique_lock lock(mutex_);
      if (!unit.done && wanted_ != &unit) {
        wanted_ = &unit;
        readersWake_.notify_all();
      }
      waiterWake_.wait_for(lock, kPollInterval, [&] { return unit.done || failed_; });
      if (failed_) std::rethrow_exception(failed_->error);
      if (unit.done) return unit;
      deflated = deflated_;
    }
    // Outside the lock: both call out to the caller's code.
    if (cancelled_ && cancelled_()) throwCancelled();
    if (progress_) progress_(deflated);
  }
}

void FolderPipeline::release(Unit& unit) {
  unit.output.reset();
  std::uint64_t deflated = 0;
  bool admit = false;
  {
    std::lock_guard lock(mutex_);
    reserved_ -= unit.reserved;
    unit.reserved = 0;
    deflated = deflated_;
    admit = mayAdmit();
  }
  if (admit) readersWake_.notify_one();
  if (cancelled_ && cancelled_()) throwCancelled();
  if (progress_) progress_(deflated);
}

}  // namespace velmora::archive
