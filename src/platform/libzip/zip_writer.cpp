#include "platform/zip_writer.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <system_error>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>
#include <zip.h>

namespace velmora::platform {

namespace {

// What libzip's callbacks need of one already-deflated file. Owned by the
// writer, not by libzip, so that the source's exception survives zip_close.
struct DeflatedEntry {
  DeflatedSource* source;
  std::uint64_t size;
  std::time_t modified;
  std::exception_ptr* failure;
  bool ended = false;
  zip_error_t error{};
};

}  // namespace

struct ZipWriter::Archive {
  zip_t* handle = nullptr;
  std::vector<std::unique_ptr<DeflatedEntry>> entries;
  std::exception_ptr failure;  // the first exception a source threw
  ~Archive() {
    for (auto& entry : entries) zip_error_fini(&entry->error);
  }
};

namespace {

[[noreturn]] void fail(zip_t* handle, const std::string& what) {
  throw ZipWriterError(what + ": " + zip_strerror(handle));
}

bool isUtf8(const std::string& text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t at = 0;
  const auto length = static_cast<utf8proc_ssize_t>(text.size());
  while (at < length) {
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t step = utf8proc_iterate(bytes + at, length - at, &codepoint);
    if (step <= 0) return false;
    at += step;
  }
  return true;
}

// libzip refuses a name marked UTF-8 that is not; Info-ZIP stores such a
// name's bytes unmarked, and so do we.
zip_flags_t nameEncoding(const std::string& name) { return isUtf8(name) ? ZIP_FL_ENC_UTF_8 : ZIP_FL_ENC_RAW; }

zip_int64_t addSource(zip_t* handle, const std::string& name, zip_source_t* source) {
  const zip_int64_t index = zip_file_add(handle, name.c_str(), source, nameEncoding(name));
  if (index < 0) {
    zip_source_free(source);
    fail(handle, "Cannot add \"" + name + "\"");
  }
  return index;
}

void describe(zip_t* handle, zip_int64_t index, std::uint32_t mode, std::time_t modified, const std::string& name) {
  const auto entry = static_cast<zip_uint64_t>(index);
  if (zip_file_set_external_attributes(handle, entry, 0, ZIP_OPSYS_UNIX, mode << 16) != 0 ||
      zip_file_set_mtime(handle, entry, modified, 0) != 0) {
    fail(handle, "Cannot describe \"" + name + "\"");
  }
}

// A source whose data libzip takes as already deflated: STAT reports the
// deflate method and the uncompressed size up front (without a size libzip
// writes zip64 fields everywhere), and the CRC once READ has reached the end
// (libzip asks again then, and trusts it).
zip_int64_t deflatedCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto& entry = *static_cast<DeflatedEntry*>(state);
  switch (command) {
    case ZIP_SOURCE_OPEN:
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
      return 0;
    case ZIP_SOURCE_READ:
      try {
        const std::size_t got = entry.source->read(static_cast<unsigned char*>(data), length);
        if (got == 0) entry.ended = true;
        return static_cast<zip_int64_t>(got);
      } catch (...) {
        if (!*entry.failure) *entry.failure = std::current_exception();
        zip_error_set(&entry.error, ZIP_ER_READ, 0);
        return -1;
      }
    case ZIP_SOURCE_STAT: {
      auto* stat = static_cast<zip_stat_t*>(data);
      zip_stat_init(stat);
      stat->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_MTIME;
      stat->size = entry.size;
      stat->comp_method = ZIP_CM_DEFLATE;
      stat->encryption_method = ZIP_EM_NONE;
      stat->mtime = entry.modified;
      if (entry.ended) {
        stat->valid |= ZIP_STAT_CRC;
        stat->crc = entry.source->crc32();
      }
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&entry.error, data, length);
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                             ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      zip_error_set(&entry.error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

// libzip writes no file at all for an archive without entries; an empty
// archive is its end-of-central-directory record alone.
void writeEmptyArchive(const std::string& path) {
  static const unsigned char kEnd[22] = {'P', 'K', 5, 6};
  std::FILE* file = std::fopen(path.c_str(), "wbx");
  if (!file) throw ZipWriterError("Cannot create \"" + path + "\": " + std::strerror(errno));
  const bool written = std::fwrite(kEnd, 1, sizeof kEnd, file) == sizeof kEnd;
  if (std::fclose(file) != 0 || !written) {
    const int error = errno;
    std::remove(path.c_str());
    throw ZipWriterError("Cannot write \"" + path + "\": " + std::strerror(error));
  }
}

}  // namespace

ZipWriter::ZipWriter(const std::string& path) : archive_(std::make_unique<Archive>()), path_(path) {
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
  const zip_int64_t index = zip_dir_add(archive_->handle, name.c_str(), nameEncoding(name));
  if (index < 0) fail(archive_->handle, "Cannot add \"" + name + "\"");
  describe(archive_->handle, index, S_IFDIR | mode, modified, name);
}

void ZipWriter::addDeflatedFile(const std::string& name, std::uint64_t size, DeflatedSource& source,
                                std::uint32_t mode, std::time_t modified) {
  auto entry = std::make_unique<DeflatedEntry>(DeflatedEntry{&source, size, modified, &archive_->failure});
  zip_error_init(&entry->error);
  zip_source_t* zipSource = zip_source_function(archive_->handle, deflatedCallback, entry.get());
  if (!zipSource) fail(archive_->handle, "Cannot add \"" + name + "\"");
  archive_->entries.push_back(std::move(entry));
  const zip_int64_t index = addSource(archive_->handle, name, zipSource);
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
  const zip_int64_t index = addSource(archive_->handle, name, source);
  zip_set_file_compression(archive_->handle, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
  describe(archive_->handle, index, S_IFLNK | mode, modified, name);
}

void ZipWriter::close(const std::function<bool()>& cancelled) {
  zip_t* handle = archive_->handle;
  if (zip_get_num_entries(handle, 0) == 0) {
    zip_discard(handle);
    archive_->handle = nullptr;
    writeEmptyArchive(path_);
    return;
  }
  if (cancelled) {
    zip_register_cancel_callback_with_state(
        handle, [](zip_t*, void* state) { return (*static_cast<const std::function<bool()>*>(state))() ? 1 : 0; },
        nullptr, const_cast<std::function<bool()>*>(&cancelled));
  }
  if (zip_close(handle) != 0) {
    const std::string text = zip_strerror(handle);
    zip_discard(handle);
    archive_->handle = nullptr;
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    if (archive_->failure) std::rethrow_exception(archive_->failure);
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
