// Writing a zip archive: the one platform service the folder archive needs.
//
// Entries are added by name (UTF-8, marked as such); file contents are read
// from disk, streamed, when the archive is written by close(). Every entry
// keeps its Unix mode and modification time; files are deflated at the given
// level. The archive is created new at `path`; an existing file there is an
// error and stays untouched.
#pragma once

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

class ZipWriter {
 public:
  // Creates the archive file; throws ZipWriterError when it exists or cannot be created.
  ZipWriter(const std::string& path, int deflateLevel);
  ~ZipWriter();  // discards an archive that was not closed: nothing is left at `path`
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  void addDirectory(const std::string& name, std::uint32_t mode, std::time_t modified);
  void addFile(const std::string& name, const std::string& sourcePath, std::uint32_t mode, std::time_t modified);
  void addSymlink(const std::string& name, const std::string& target, std::uint32_t mode, std::time_t modified);

  // Writes the archive. `progress` receives the fraction written so far, on
  // the calling thread. Throws ZipWriterError; the archive is then discarded.
  void close(const std::function<void(double)>& progress);

 private:
  struct Archive;
  std::unique_ptr<Archive> archive_;
  std::string path_;
  int level_;
};

// Gives `temporary` the name `final` unless something already exists there,
// atomically where the file system allows (a hard link), and removes the
// temporary name. Throws std::filesystem::filesystem_error; `final` is then
// untouched.
void publishWithoutReplacing(const std::string& temporary, const std::string& final);

}  // namespace velmora::platform
