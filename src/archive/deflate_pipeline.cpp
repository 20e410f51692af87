#include "archive/deflate_pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>

#include "platform/deflate.hpp"
#include "platform/source_file.hpp"
#include "velmora/archive/zip_folder.hpp"

namespace velmora::archive {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// How often a waiting reader looks at cancellation and reports progress.
constexpr auto kPollInterval = std::chrono::milliseconds(50);

std::function<void(const std::string&, std::uint64_t)> pieceReadHook;

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
                        "Cannot read \"" + path + "\": " + error.code().message());
}

}  // namespace

void testing::setPieceReadHook(std::function<void(const std::string&, std::uint64_t)> hook) {
  pieceReadHook = std::move(hook);
}

// One file's descriptor, shared by its units: opened by the first to need
// it, checked and closed by the last.
struct DeflatePipeline::OpenFile {
  std::mutex mutex;
  std::optional<platform::SourceFile> file;
  std::size_t unitsLeft = 0;

  // Opens the file unless open; throws what opening it found.
  const platform::SourceFile& open(const FileToDeflate& listed) {
    std::lock_guard lock(mutex);
    if (file) return *file;
    platform::SourceFile opened(listed.path);
    if (!opened.isRegular()) {
      throw ZipFolderError(ZipFolderError::Case::unsupportedItem,
                           "Cannot archive \"" + listed.path + "\": it is no longer a regular file");
    }
    if (opened.size() < listed.size) throw std::system_error(ENODATA, std::generic_category(), "read");
    if (!(opened.openedVersion() == listed.version)) throw changedError(listed.path);
    file.emplace(std::move(opened));
    return *file;
  }

  // After a unit has read its piece: the last one compares the file with
  // what it was when opened, and closes it.
  void pieceDone(const FileToDeflate& listed) {
    std::lock_guard lock(mutex);
    if (--unitsLeft > 0 || !file) return;
    const bool unchanged = file->currentVersion() == file->openedVersion();
    file.reset();
    if (!unchanged) throw changedError(listed.path);
  }
};

struct DeflatePipeline::Unit {
  Unit(std::size_t file, std::uint64_t offset, std::size_t length, bool whole, bool last)
      : file(file), offset(offset), length(length), whole(whole), last(last) {}

  std::size_t file;
  std::uint64_t offset;
  std::size_t length;
  bool whole;  // the whole file, deflated in one go
  bool last;   // the file's last unit: it ends the stream

  // Guarded by the mutex until done; then the reader's alone.
  bool done = false;
  std::size_t reserved = 0;
  std::unique_ptr<unsigned char[]> output;
  std::size_t outputLength = 0;
  std::uint32_t crc = 0;
  std::exception_ptr error;

  // The input and a bound on the output, above the compressors' own bounds.
  std::size_t cost() const { return length + length + length / 8 + 1024; }
};

// Hands one file's units to the zip writer in order, joining their CRCs.
class DeflatePipeline::Source : public platform::DeflatedSource {
 public:
  Source(DeflatePipeline& pipeline, std::size_t first, std::size_t end)
      : pipeline_(pipeline), next_(first), end_(end) {}

  std::size_t read(unsigned char* buffer, std::size_t capacity) override {
    while (next_ < end_ && capacity > 0) {
      Unit& unit = pipeline_.waitFor(next_);
      const std::size_t count = std::min(capacity, unit.outputLength - copied_);
      std::memcpy(buffer, unit.output.get() + copied_, count);
      copied_ += count;
      if (copied_ == unit.outputLength) {
        crc_ = platform::crc32Combine(crc_, unit.crc, unit.length);
        pipeline_.release(next_++);
        copied_ = 0;
      }
      if (count > 0) return count;
    }
    return 0;
  }

  std::uint32_t crc32() const override { return crc_; }

 private:
  DeflatePipeline& pipeline_;
  std::size_t next_;
  const std::size_t end_;
  std::size_t copied_ = 0;  // of unit next_'s output
  std::uint32_t crc_ = 0;
};

// The compressors and input buffer of one worker thread, reused unit after unit.
class DeflatePipeline::Worker {
 public:
  void deflate(const FileToDeflate& listed, OpenFile& open, Unit& unit) {
    if (inputCapacity_ < unit.length) {
      input_.reset(new unsigned char[unit.length]);
      inputCapacity_ = unit.length;
    }
    const std::string& path = listed.path;
    try {
      open.open(listed).readAt(unit.offset, input_.get(), unit.length);
      if (pieceReadHook) pieceReadHook(path, unit.offset);
      open.pieceDone(listed);
    } catch (const std::system_error& error) {
      throw readError(path, error);
    }
    const unsigned char* data = input_.get();
    unit.crc = platform::crc32(0, data, unit.length);
    if (unit.whole) {
      if (!whole_) whole_ = std::make_unique<platform::WholeDeflater>();
      const std::size_t bound = whole_->bound(unit.length);
      unit.output.reset(new unsigned char[bound]);
      unit.outputLength = whole_->compress(data, unit.length, unit.output.get(), bound);
    } else {
      if (!chunk_) chunk_ = std::make_unique<platform::ChunkDeflater>();
      const std::size_t bound = chunk_->bound(unit.length);
      unit.output.reset(new unsigned char[bound]);
      unit.outputLength = chunk_->compress(data, unit.length, unit.last, unit.output.get(), bound);
    }
    // Only a chunk's worth stays between units: a whole file's buffer counted
    // in the budget while it was in use, and must not outlive that.
    if (inputCapacity_ > kChunkSize) {
      input_.reset();
      inputCapacity_ = 0;
    }
  }

 private:
  std::unique_ptr<unsigned char[]> input_;
  std::size_t inputCapacity_ = 0;
  std::unique_ptr<platform::WholeDeflater> whole_;
  std::unique_ptr<platform::ChunkDeflater> chunk_;
};

DeflatePipeline::DeflatePipeline(std::vector<FileToDeflate> files, unsigned threads,
                                 std::function<bool()> cancelled, std::function<void(std::uint64_t)> progress)
    : files_(std::move(files)),
      cancelled_(std::move(cancelled)),
      progress_(std::move(progress)),
      failedUnit_(kNone) {
  for (std::size_t index = 0; index < files_.size(); ++index) {
    const std::uint64_t size = files_[index].size;
    const std::size_t first = units_.size();
    if (size <= kWholeFileLimit) {
      units_.emplace_back(index, 0, static_cast<std::size_t>(size), true, true);
    } else {
      for (std::uint64_t offset = 0; offset < size; offset += kChunkSize) {
        const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, size - offset));
        units_.emplace_back(index, offset, length, false, offset + length == size);
      }
    }
    sources_.push_back(std::make_unique<Source>(*this, first, units_.size()));
    openFiles_.push_back(std::make_unique<OpenFile>());
    openFiles_.back()->unitsLeft = units_.size() - first;
  }
  const std::size_t count = std::min<std::size_t>(std::max(threads, 1u), units_.size());
  try {
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
  } catch (...) {
    stopWorkers();  // the destructor does not run for a constructor that throws
    throw;
  }
}

DeflatePipeline::~DeflatePipeline() { stopWorkers(); }

platform::DeflatedSource& DeflatePipeline::source(std::size_t index) { return *sources_[index]; }

void DeflatePipeline::stopWorkers() noexcept {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  workersWake_.notify_all();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void DeflatePipeline::work() {
  Worker worker;
  std::unique_lock lock(mutex_);
  while (true) {
    // Claims strictly in order, and only within the budget; a unit alone
    // may always start, however large, so that nothing waits forever.
    workersWake_.wait(lock, [&] {
      return stop_ || failedUnit_ != kNone || nextUnit_ == units_.size() ||
             reserved_ == 0 || reserved_ + units_[nextUnit_].cost() <= kMemoryBudget;
    });
    if (stop_ || failedUnit_ != kNone || nextUnit_ == units_.size()) return;
    lock.unlock();
    const bool cancelled = cancelled_ && cancelled_();
    lock.lock();
    if (cancelled) return;  // the reader sees it too and stops the archive
    if (stop_ || nextUnit_ == units_.size()) return;
    if (reserved_ != 0 && reserved_ + units_[nextUnit_].cost() > kMemoryBudget) continue;
    const std::size_t index = nextUnit_++;
    Unit& unit = units_[index];
    unit.reserved = unit.cost();
    reserved_ += unit.reserved;
    const FileToDeflate& listed = files_[unit.file];
    OpenFile& open = *openFiles_[unit.file];
    lock.unlock();

    std::exception_ptr error;
    try {
      worker.deflate(listed, open, unit);
    } catch (...) {
      error = std::current_exception();
    }

    lock.lock();
    unit.done = true;
    if (error) {
      unit.error = error;
      unit.output.reset();
      failedUnit_ = std::min(failedUnit_, index);
    } else {
      deflated_ += unit.length;
    }
    readerWake_.notify_all();
  }
}

DeflatePipeline::Unit& DeflatePipeline::waitFor(std::size_t index) {
  Unit& unit = units_[index];
  while (true) {
    std::uint64_t deflated = 0;
    {
      std::unique_lock lock(mutex_);
      readerWake_.wait_for(lock, kPollInterval, [&] { return unit.done || failedUnit_ != kNone; });
      if (failedUnit_ != kNone) throwFailure();
      if (unit.done) return unit;
      deflated = deflated_;
    }
    // Outside the lock: both call out to the caller's code.
    if (cancelled_ && cancelled_()) {
      throw ZipFolderError(ZipFolderError::Case::cancelled, "The zip was cancelled");
    }
    if (progress_) progress_(deflated);
  }
}

void DeflatePipeline::throwFailure() { std::rethrow_exception(units_[failedUnit_].error); }

void DeflatePipeline::release(std::size_t index) {
  Unit& unit = units_[index];
  unit.output.reset();
  std::uint64_t deflated = 0;
  {
    std::lock_guard lock(mutex_);
    reserved_ -= unit.reserved;
    unit.reserved = 0;
    deflated = deflated_;
  }
  workersWake_.notify_all();
  if (cancelled_ && cancelled_()) {
    throw ZipFolderError(ZipFolderError::Case::cancelled, "The zip was cancelled");
  }
  if (progress_) progress_(deflated);
}

}  // namespace velmora::archive
