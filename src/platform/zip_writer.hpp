// Writing a zip archive: the one platform service the folder archive needs.
//
// The archive is written into a descriptor the caller owns (an empty file,
// open for reading and writing), which the caller names once it is complete.
// Every entry keeps its Unix mode and modification time. A name is marked
// UTF-8 when it is valid UTF-8 by RFC 3629 (no overlong form, no surrogate,
// nothing above U+10FFFF, no cut sequence) and not plain ASCII; any other
// name is stored as its bytes, unmarked, as Info-ZIP does. Files come
// already deflated: the writer copies their data as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace velmora::platform {

// A failure of the zip writer, with the zip library's text, and the errno
// of the write that failed, where one did (0 otherwise).
class ZipWriterError : public std::runtime_error {
 public:
  explicit ZipWriterError(const std::string& what, int systemCode = 0)
      : std::runtime_error(what), systemCode_(systemCode) {}
  int systemCode() const noexcept { return systemCode_; }

 private:
  int systemCode_;
};

// The raw deflate data of one file, read once, in entry order, by close().
class DeflatedSource {
 public:
  virtual ~DeflatedSource() = default;
  // Copies the next bytes into `buffer`; 0 at the end. May throw: the
  // archive then fails with that exception.
  virtual std::size_t read(unsigned char* buffer, std::size_t capacity) = 0;
  // The CRC-32 of the uncompressed data; asked only after read() gave 0.
  virtual std::uint32_t crc32() const = 0;
};

class ZipWriter {
 public:
  // The longest name an entry can have (its length is 16 bits); a longer
  // one is refused with ZipWriterError (libzip would cut its length short).
  static constexpr std::size_t kLongestName = 65535;

  // `descriptor` stays the caller's, and must outlive the writer.
  explicit ZipWriter(int descriptor);
  ~ZipWriter();  // discards an archive that was not closed
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  void addDirectory(const std::string& name, std::uint32_t mode, std::time_t modified);
  void addSymlink(const std::string& name, const std::string& target, std::uint32_t mode, std::time_t modified);
  // `size` is the uncompressed size; `source` must outlive close().
  void addDeflatedFile(const std::string& name, std::uint64_t size, DeflatedSource& source, std::uint32_t mode,
                       std::time_t modified);

  // Writes the archive, one without entries included, on the calling thread;
  // `cancelled` is polled meanwhile. Throws ZipWriterError, or the exception
  // a source threw; the descriptor's content is then meaningless.
  void close(const std::function<bool()>& cancelled);

 private:
  struct Archive;
  std::unique_ptr<Archive> archive_;
  int fd_;
};

}  // namespace velmora::platform
