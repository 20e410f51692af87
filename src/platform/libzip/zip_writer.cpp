#include "platform/zip_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <unordered_map>
#include <string_view>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include "platform/libzip/zip_names.hpp"
#include "platform/errno/errno_calls.hpp"
#include "platform/posix/system_calls.hpp"

namespace velmora::platform {

namespace sys = posix::sys;

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

// Where libzip writes the archive: the caller's descriptor, through a buffer
// (libzip writes each header in small pieces).
struct Sink {
  int fd = -1;
  std::vector<unsigned char> buffer;
  zip_error_t error{};
  int systemError = 0;  // the errno of the first failed call
};

}  // namespace

struct ZipWriter::Archive {
  zip_t* handle = nullptr;
  Sink sink;
  std::vector<std::unique_ptr<DeflatedEntry>> entries;
  std::exception_ptr failure;  // the first exception a source threw
  std::unordered_map<std::uint64_t, std::string> standIns;  // entries' own names, where libzip has stand-ins
  ~Archive() {
    for (auto& entry : entries) zip_error_fini(&entry->error);
    zip_error_fini(&sink.error);
  }
};

namespace {

[[noreturn]] void fail(zip_t* handle, const std::string& what) {
  throw ZipWriterError(what + ": " + zip_strerror(handle));
}

// Names are given raw, and libzip's flag is set right afterwards
// (zip_names.hpp): libzip marks as UTF-8 a few names that are not (an
// overlong form, a surrogate), which strict readers such as Python's
// zipfile refuse, and refuses a name given as UTF-8 that holds a control
// character.
constexpr zip_flags_t kNameEncoding = ZIP_FL_ENC_RAW;

// Adds an entry by `add` under `name`, or under a stand-in where libzip
// would misread it.
using StandIns = std::unordered_map<std::uint64_t, std::string>;

zip_int64_t addNamed(zip_t* handle, StandIns& standIns, const std::string& name,
                     const std::function<zip_int64_t(const char*)>& add) {
  if (name.size() > ZipWriter::kLongestName) {
    throw ZipWriterError("Cannot add \"" + name.substr(0, 64) + "...\": a zip entry's name holds at most 65,535 bytes");
  }
  for (unsigned attempt = 0;; ++attempt) {
    const std::string given = zipnames::standIn(name, attempt);
    if (given.empty()) break;
    const zip_int64_t index = add(given.c_str());
    if (index >= 0) {
      if (given != name) standIns.emplace(static_cast<std::uint64_t>(index), name);
      return index;
    }
    if (zip_error_code_zip(zip_get_error(handle)) != ZIP_ER_EXISTS || given == name) break;
  }
  fail(handle, "Cannot add \"" + name + "\"");
}

zip_int64_t addSource(zip_t* handle, StandIns& standIns, const std::string& name, zip_source_t* source) {
  try {
    return addNamed(handle, standIns, name,
                    [&](const char* given) { return zip_file_add(handle, given, source, kNameEncoding); });
  } catch (...) {
    zip_source_free(source);
    throw;
  }
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

bool flush(Sink& sink) {
  std::size_t done = 0;
  while (done < sink.buffer.size()) {
    const ssize_t written =
        retryOnInterrupt([&] { return sys::write(sink.fd, sink.buffer.data() + done, sink.buffer.size() - done); });
    if (written <= 0) {
      sink.systemError = written < 0 ? errno : ENOSPC;
      zip_error_set(&sink.error, ZIP_ER_WRITE, sink.systemError);
      sink.buffer.erase(sink.buffer.begin(), sink.buffer.begin() + static_cast<std::ptrdiff_t>(done));
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  sink.buffer.clear();
  return true;
}

zip_int64_t seekFailed(Sink& sink) {
  sink.systemError = errno;
  zip_error_set(&sink.error, ZIP_ER_SEEK, errno);
  return -1;
}

// A write-only archive source over the descriptor: the archive is new (STAT
// answers "no such file", which makes libzip create one), and libzip writes
// it with WRITE, SEEK_WRITE and TELL_WRITE between BEGIN_WRITE and
// COMMIT_WRITE. Nothing is read back.
zip_int64_t sinkCallback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto& sink = *static_cast<Sink*>(state);
  constexpr std::size_t kBuffer = 256 * 1024;
  switch (command) {
    case ZIP_SOURCE_STAT:
      zip_error_set(&sink.error, ZIP_ER_READ, ENOENT);
      return -1;
    case ZIP_SOURCE_BEGIN_WRITE:
      sink.buffer.clear();
      sink.buffer.reserve(kBuffer);
      if (sys::ftruncate(sink.fd, 0) != 0 || sys::lseek(sink.fd, 0, SEEK_SET) != 0) return seekFailed(sink);
      return 0;
    case ZIP_SOURCE_WRITE: {
      const auto* bytes = static_cast<const unsigned char*>(data);
      if (sink.buffer.size() + length > kBuffer && !flush(sink)) return -1;
      if (length >= kBuffer) {
        sink.buffer.assign(bytes, bytes + length);
        if (!flush(sink)) return -1;
      } else {
        sink.buffer.insert(sink.buffer.end(), bytes, bytes + length);
      }
      return static_cast<zip_int64_t>(length);
    }
    case ZIP_SOURCE_SEEK_WRITE: {
      auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &sink.error);
      if (!args || !flush(sink)) return -1;
      if (sys::lseek(sink.fd, static_cast<off_t>(args->offset), args->whence) < 0) return seekFailed(sink);
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE: {
      const off_t at = sys::lseek(sink.fd, 0, SEEK_CUR);
      if (at < 0) return seekFailed(sink);
      return static_cast<zip_int64_t>(at) + static_cast<zip_int64_t>(sink.buffer.size());
    }
    case ZIP_SOURCE_COMMIT_WRITE:
      return flush(sink) ? 0 : -1;
    case ZIP_SOURCE_ROLLBACK_WRITE:
      sink.buffer.clear();
      return 0;
    case ZIP_SOURCE_REMOVE:  // an archive left without entries: the caller's file stays empty
    case ZIP_SOURCE_OPEN:
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:  // the sink belongs to the writer
      return 0;
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&sink.error, data, length);
    case ZIP_SOURCE_SUPPORTS:
      return ZIP_SOURCE_SUPPORTS_WRITABLE;
    default:
      zip_error_set(&sink.error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

// libzip writes no file at all for an archive without entries; an empty
// archive is its end-of-central-directory record alone.
void writeEmptyArchive(int fd) {
  static const unsigned char kEnd[22] = {'P', 'K', 5, 6};
  zipnames::writeAt(fd, kEnd, sizeof kEnd, 0);
}

}  // namespace

ZipWriter::ZipWriter(int descriptor) : archive_(std::make_unique<Archive>()), fd_(descriptor) {
  Sink& sink = archive_->sink;
  sink.fd = descriptor;
  zip_error_init(&sink.error);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(sinkCallback, &sink, &error);
  if (source) {
    archive_->handle = zip_open_from_source(source, ZIP_CREATE, &error);
    if (!archive_->handle) zip_source_free(source);
  }
  if (!archive_->handle) {
    const std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw ZipWriterError("Cannot start the archive: " + text);
  }
  zip_error_fini(&error);
}

ZipWriter::~ZipWriter() {
  if (archive_->handle) zip_discard(archive_->handle);
}

void ZipWriter::addDirectory(const std::string& name, std::uint32_t mode, std::time_t modified) {
  const zip_int64_t index =
      addNamed(archive_->handle, archive_->standIns, name,
               [this](const char* given) { return zip_dir_add(archive_->handle, given, kNameEncoding); });
  describe(archive_->handle, index, S_IFDIR | mode, modified, name);
}

void ZipWriter::addDeflatedFile(const std::string& name, std::uint64_t size, DeflatedSource& source,
                                std::uint32_t mode, std::time_t modified) {
  auto entry = std::make_unique<DeflatedEntry>(DeflatedEntry{&source, size, modified, &archive_->failure});
  zip_error_init(&entry->error);
  zip_source_t* zipSource = zip_source_function(archive_->handle, deflatedCallback, entry.get());
  if (!zipSource) fail(archive_->handle, "Cannot add \"" + name + "\"");
  archive_->entries.push_back(std::move(entry));
  const zip_int64_t index = addSource(archive_->handle, archive_->standIns, name, zipSource);
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
  const zip_int64_t index = addSource(archive_->handle, archive_->standIns, name, source);
  zip_set_file_compression(archive_->handle, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
  describe(archive_->handle, index, S_IFLNK | mode, modified, name);
}

void ZipWriter::close(const std::function<bool()>& cancelled) {
  zip_t* handle = archive_->handle;
  if (zip_get_num_entries(handle, 0) == 0) {
    zip_discard(handle);
    archive_->handle = nullptr;
    writeEmptyArchive(fd_);
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
    if (archive_->failure) std::rethrow_exception(archive_->failure);
    throw ZipWriterError("Cannot write the archive: " + text, archive_->sink.systemError);
  }
  archive_->handle = nullptr;
  zipnames::correctNames(fd_, archive_->standIns);
}

}  // namespace velmora::platform
