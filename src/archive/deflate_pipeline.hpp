// Deflating a folder's files ahead of the zip writer, in worker threads.
//
// Every file becomes units of work in entry order: a file up to
// kWholeFileLimit is one unit, deflated whole; a larger one is cut into
// kChunkSize chunks that join into one stream (platform/deflate.hpp).
// libdeflate throughout: at level 6 it takes half zlib's time, chunk
// joining included, for archives about 0.8% larger on large text files
// (chunks start without a dictionary) and smaller on small files. Workers claim units strictly in order, each only once the
// memory it needs (input, dictionary and the output's bound) fits the
// budget, and a unit's memory returns to the budget once the reader has
// copied its output. The reader always waits for the oldest unread unit,
// which was claimed before any later one, so it can never wait for a unit
// that the budget keeps from starting. The output is the same bytes
// whatever the number of threads.
//
// Each file is opened once and every piece is read from that descriptor;
// its version (size, times, link count) when listed, when opened and after
// its last piece must agree, or the file fails as changed while being
// archived: never a mix of two contents under one valid CRC.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/source_file.hpp"
#include "platform/zip_writer.hpp"

namespace velmora::archive {

struct FileToDeflate {
  std::string path;
  std::uint64_t size;  // as listed: the bytes archived
  platform::FileVersion version;  // as listed
};

namespace testing {
// Called on a worker thread after each piece of a file is read, with the
// file's path and the piece's offset, so that a test can change the file
// between pieces. Set it only while no archive is being made.
void setPieceReadHook(std::function<void(const std::string& path, std::uint64_t offset)> hook);
}  // namespace testing

class DeflatePipeline {
 public:
  static constexpr std::size_t kWholeFileLimit = 8u << 20;
  static constexpr std::size_t kChunkSize = 1u << 20;
  // Buffers in flight or waiting for the reader. Besides it, each worker
  // keeps one chunk's input and its compressors' state.
  static constexpr std::size_t kMemoryBudget = 40u << 20;

  // Starts `threads` workers (at least one when there is work).
  // `cancelled` is polled by the workers and the reader; `progress`
  // receives the number of bytes deflated so far, on the reader's thread,
  // while it reads or waits.
  DeflatePipeline(std::vector<FileToDeflate> files, unsigned threads, std::function<bool()> cancelled,
                  std::function<void(std::uint64_t)> progress);
  ~DeflatePipeline();  // stops the workers and waits for them
  DeflatePipeline(const DeflatePipeline&) = delete;
  DeflatePipeline& operator=(const DeflatePipeline&) = delete;

  // The deflate data of file `index`, for the zip writer; read in file order.
  // Its read() throws the file's error (naming it), or ZipFolderError
  // `cancelled`.
  platform::DeflatedSource& source(std::size_t index);

 private:
  struct Unit;
  struct OpenFile;
  class Source;
  class Worker;

  void work();
  void stopWorkers() noexcept;
  // Waits until unit `index` is deflated and returns it; throws a failure.
  Unit& waitFor(std::size_t index);
  void release(std::size_t index);
  [[noreturn]] void throwFailure();

  std::vector<FileToDeflate> files_;
  std::vector<Unit> units_;
  std::vector<std::unique_ptr<OpenFile>> openFiles_;  // one per file
  std::vector<std::unique_ptr<Source>> sources_;
  std::function<bool()> cancelled_;
  std::function<void(std::uint64_t)> progress_;

  std::mutex mutex_;
  std::condition_variable workersWake_;  // a unit was released, or stop
  std::condition_variable readerWake_;   // a unit is done, or failed
  std::size_t nextUnit_ = 0;             // the next unit to claim
  std::size_t reserved_ = 0;             // bytes of the budget in use
  std::uint64_t deflated_ = 0;           // input bytes deflated so far
  std::size_t failedUnit_;               // the earliest failed unit, if any
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace velmora::archive
