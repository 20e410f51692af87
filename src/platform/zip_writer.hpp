// Writing a zip archive: the one platform service the folder archive needs.
//
// The archive is created new at `path`; an existing file there is an error
// and stays untouched. Every entry keeps its Unix mode and modification time.
// A name that is valid UTF-8 is marked so when it is not plain ASCII; any
// other name is stored as its bytes, unmarked, as Info-ZIP does. Files come
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

// A failure of the zip writer, with the zip library's text.
class ZipWriterError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
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
  // Throws ZipWriterError when the archive exists or cannot be created.
  explicit ZipWriter(const std::string& path);
  ~ZipWriter();  // discards an archive that was not closed: nothing is left at `path`
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  void addDirectory(const std::string& name, std::uint32_t mode, std::time_t modified);
  void addSymlink(const std::string& name, const std::string& target, std::uint32_t mode, std::time_t modified);
  // `size` is the uncompressed size; `source` must outlive close().
  void addDeflatedFile(const std::string& name, std::uint64_t size, DeflatedSource& source, std::uint32_t mode,
                       std::time_t modified);

  // Writes the archive, one without entries included, on the calling thread;
  // `cancelled` is polled meanwhile. Throws ZipWriterError, or the exception
  // a source threw; the archive is then discarded and nothing is at `path`.
  void close(const std::function<bool()>& cancelled);

 private:
  struct Archive;
  std::unique_ptr<Archive> archive_;
  std::string path_;
};

// Gives `temporary` the name `final` unless something already exists there,
// atomically where the file system allows (a hard link), and removes the
// temporary name. Throws std::filesystem::filesystem_error; `final` is then
// untouched.
void publishWithoutReplacing(const std::string& temporary, const std::string& final);

}  // namespace velmora::platform
