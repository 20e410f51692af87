#include "platform/zip_writer.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

namespace velmora::platform {

struct ZipWriter::Archive {
  zip_t* handle = nullptr;
};

namespace {

[[noreturn]] void fail(zip_t* handle, const std::string& what) {
  throw ZipWriterError(what + ": " + zip_strerror(handle));
}

constexpr zip_uint8_t kUnix = ZIP_OPSYS_UNIX;

void describe(zip_t* handle, zip_int64_t index, std::uint32_t mode, std::time_t modified, const std::string& name) {
  const auto entry = static_cast<zip_uint64_t>(index);
  if (zip_file_set_external_attributes(handle, entry, 0, kUnix, mode << 16) != 0 ||
      zip_file_set_mtime(handle, entry, modified, 0) != 0) {
    fail(handle, "Cannot describe \"" + name + "\"");
  }
}

}  // namespace

ZipWriter::ZipWriter(const std::string& path, int deflateLevel)
    : archive_(std::make_unique<Archive>()), path_(path), level_(deflateLevel) {
  int error = 0;
  archive_->handle = zip_open(path.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
  if (!archive_->handle) {
    zip_error_t details;
    zip_error_init_with_code(&details, error);
    const std::string text = zip_error_strerror(&details);
    zip_error_fini(&details);
    throw ZipWriterError("Cannot create \"" + path + "\": " + text);
  }
}

ZipWriter::~ZipWriter() {
  if (archive_->handle) zip_discard(archive_->handle);
}

void ZipWriter::addDirectory(const std::string& name, std::uint32_t mode, std::time_t modified) {
  const zip_int64_t index = zip_dir_add(archive_->handle, name.c_str(), ZIP_FL_ENC_UTF_8);
  if (index < 0) fail(archive_->handle, "Cannot add \"" + name + "\"");
  describe(archive_->handle, index, S_IFDIR | mode, modified, name);
}

void ZipWriter::addFile(const std::string& name, const std::string& sourcePath, std::uint32_t mode,
                        std::time_t modified) {
  // Read lazily, in blocks, when the archive is written: memory does not
  // grow with the file's size.
  zip_source_t* source = zip_source_file(archive_->handle, sourcePath.c_str(), 0, -1);
  if (!source) fail(archive_->handle, "Cannot read \"" + sourcePath + "\"");
  const zip_int64_t index = zip_file_add(archive_->handle, name.c_str(), source, ZIP_FL_ENC_UTF_8);
  if (index < 0) {
    zip_source_free(source);
    fail(archive_->handle, "Cannot add \"" + name + "\"");
  }
  if (zip_set_file_compression(archive_->handle, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                               static_cast<zip_uint32_t>(level_)) != 0) {
    fail(archive_->handle, "Cannot compress \"" + name + "\"");
  }
  describe(archive_->handle, index, S_IFREG | mode, modified, name);
}

void ZipWriter::addSymlink(const std::string& name, const std::string& target, std::uint32_t mode,
                           std::time_t modified) {
  // The link's text is the entry's content, stored as it is; libzip frees
  // the copy once the archive has been written.
  char* copy = static_cast<char*>(std::malloc(target.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, target.data(), target.size());
  zip_source_t* source = zip_source_buffer(archive_->handle, copy, target.size(), 1);
  if (!source) {
    std::free(copy);
    fail(archive_->handle, "Cannot add \"" + name + "\"");
  }
  const zip_int64_t index = zip_file_add(archive_->handle, name.c_str(), source, ZIP_FL_ENC_UTF_8);
  if (index < 0) {
    zip_source_free(source);
    fail(archive_->handle, "Cannot add \"" + name + "\"");
  }
  zip_set_file_compression(archive_->handle, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
  describe(archive_->handle, index, S_IFLNK | mode, modified, name);
}

void ZipWriter::close(const std::function<void(double)>& progress) {
  struct Progress {
    const std::function<void(double)>* callback;
  } state{&progress};
  if (progress) {
    zip_register_progress_callback_with_state(
        archive_->handle, 0.001,
        [](zip_t*, double done, void* data) { (*static_cast<Progress*>(data)->callback)(done); }, nullptr, &state);
  }
  if (zip_close(archive_->handle) != 0) {
    const std::string text = zip_strerror(archive_->handle);
    zip_discard(archive_->handle);
    archive_->handle = nullptr;
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    throw ZipWriterError("Cannot write \"" + path_ + "\": " + text);
  }
  archive_->handle = nullptr;
}

void publishWithoutReplacing(const std::string& temporary, const std::string& final) {
  namespace fs = std::filesystem;
  if (::link(temporary.c_str(), final.c_str()) == 0) {
    ::unlink(temporary.c_str());
    return;
  }
  const int error = errno;
  if (error == EEXIST) {
    throw fs::filesystem_error("An archive already exists there", fs::path(final),
                               std::error_code(EEXIST, std::generic_category()));
  }
  // File systems without hard links (FAT, exFAT): a plain rename, after a check.
  if (fs::exists(fs::symlink_status(final))) {
    throw fs::filesystem_error("An archive already exists there", fs::path(final),
                               std::error_code(EEXIST, std::generic_category()));
  }
  fs::rename(temporary, final);
}

}  // namespace velmora::platform
