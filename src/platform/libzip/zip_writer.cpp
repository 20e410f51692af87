#include "platform/zip_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include <fcntl.h>
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
  ~Archive() {
    for (auto& entry : entries) zip_error_fini(&entry->error);
    zip_error_fini(&sink.error);
  }
};

namespace {

[[noreturn]] void fail(zip_t* handle, const std::string& what) {
  throw ZipWriterError(what + ": " + zip_strerror(handle));
}

// RFC 3629: utf8proc_iterate refuses overlong forms, surrogates, code points
// above U+10FFFF and cut sequences.
bool isUtf8(std::string_view text) {
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

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// libzip decides the flag itself with a looser check (an overlong form or a
// surrogate passes it, and the whole archive is then refused by strict
// readers such as Python's zipfile), and refuses a name given as UTF-8 that
// its check does not accept (one holding a control character). So libzip is
// left to guess, and correctNameFlags() sets every flag afterwards.
constexpr zip_flags_t kNameEncoding = ZIP_FL_ENC_GUESS;

zip_int64_t addSource(zip_t* handle, const std::string& name, zip_source_t* source) {
  const zip_int64_t index = zip_file_add(handle, name.c_str(), source, kNameEncoding);
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

bool flush(Sink& sink) {
  std::size_t done = 0;
  while (done < sink.buffer.size()) {
    const ssize_t written = ::write(sink.fd, sink.buffer.data() + done, sink.buffer.size() - done);
    if (written < 0 && errno == EINTR) continue;
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
      if (::ftruncate(sink.fd, 0) != 0 || ::lseek(sink.fd, 0, SEEK_SET) != 0) return seekFailed(sink);
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
      if (::lseek(sink.fd, static_cast<off_t>(args->offset), args->whence) < 0) return seekFailed(sink);
      return 0;
    }
    case ZIP_SOURCE_TELL_WRITE: {
      const off_t at = ::lseek(sink.fd, 0, SEEK_CUR);
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

std::uint16_t load16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t load32(const unsigned char* p) { return load16(p) | static_cast<std::uint32_t>(load16(p + 2)) << 16; }
std::uint64_t load64(const unsigned char* p) { return load32(p) | static_cast<std::uint64_t>(load32(p + 4)) << 32; }

[[noreturn]] void malformed() { throw ZipWriterError("The written archive cannot be read back"); }

void readAt(int fd, unsigned char* into, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ZipWriterError(std::string("Cannot read the archive back: ") + std::strerror(errno), errno);
    if (got == 0) malformed();
    done += static_cast<std::size_t>(got);
  }
}

void writeAt(int fd, const unsigned char* from, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put = ::pwrite(fd, from + done, size - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throw ZipWriterError(std::string("Cannot write the archive: ") + std::strerror(errno), errno);
    done += static_cast<std::size_t>(put);
  }
}

// Sets bit 11 (the name is UTF-8) of every entry, in its central directory
// record and its local header, from our own check: valid UTF-8 and not plain
// ASCII. The archive has no comment (its end record is its last 22 bytes);
// offsets beyond 32 bits come from the zip64 records.
void correctNameFlags(int fd) {
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 22) malformed();
  const auto size = static_cast<std::uint64_t>(end);
  unsigned char record[56];
  readAt(fd, record, 22, size - 22);
  if (load32(record) != 0x06054b50) malformed();
  std::uint64_t entries = load16(record + 10);
  std::uint64_t directorySize = load32(record + 12);
  std::uint64_t directoryOffset = load32(record + 16);
  if (entries == 0xffff || directorySize == 0xffffffff || directoryOffset == 0xffffffff) {
    if (size < 22 + 20) malformed();
    readAt(fd, record, 20, size - 22 - 20);
    if (load32(record) != 0x07064b50) malformed();
    const std::uint64_t at = load64(record + 8);
    if (at > size - 56) malformed();
    readAt(fd, record, 56, at);
    if (load32(record) != 0x06064b50) malformed();
    entries = load64(record + 32);
    directorySize = load64(record + 40);
    directoryOffset = load64(record + 48);
  }
  if (directoryOffset > size || directorySize > size - directoryOffset) malformed();
  std::vector<unsigned char> directory(directorySize);
  readAt(fd, directory.data(), directory.size(), directoryOffset);
  std::size_t at = 0;
  for (std::uint64_t entry = 0; entry < entries; ++entry) {
    if (directory.size() - at < 46 || load32(&directory[at]) != 0x02014b50) malformed();
    unsigned char* header = &directory[at];
    const std::size_t nameLength = load16(header + 28), extraLength = load16(header + 30);
    const std::size_t recordLength = 46 + nameLength + extraLength + load16(header + 32);
    if (directory.size() - at < recordLength) malformed();
    const std::string_view name(reinterpret_cast<const char*>(header + 46), nameLength);
    const bool utf8 = !isAscii(name) && isUtf8(name);
    const std::uint16_t flags = load16(header + 8);
    if (((flags & 0x800) != 0) != utf8) {
      std::uint64_t local = load32(header + 42);
      if (local == 0xffffffff) {
        // The zip64 extra field holds, in order, only the fields that are
        // 0xffffffff in the record.
        std::optional<std::uint64_t> found;
        for (std::size_t e = 46 + nameLength; e + 4 <= 46 + nameLength + extraLength;) {
          const std::size_t id = load16(header + e), length = load16(header + e + 2);
          if (e + 4 + length > 46 + nameLength + extraLength) malformed();
          if (id == 0x0001) {
            std::size_t skip = (load32(header + 24) == 0xffffffff ? 8 : 0) + (load32(header + 20) == 0xffffffff ? 8 : 0);
            if (skip + 8 > length) malformed();
            found = load64(header + e + 4 + skip);
          }
          e += 4 + length;
        }
        if (!found) malformed();
        local = *found;
      }
      const std::uint16_t corrected = static_cast<std::uint16_t>(utf8 ? flags | 0x800 : flags & ~0x800);
      const unsigned char bytes[2] = {static_cast<unsigned char>(corrected), static_cast<unsigned char>(corrected >> 8)};
      unsigned char localHeader[30];
      if (local > size - 30) malformed();
      readAt(fd, localHeader, sizeof localHeader, local);
      if (load32(localHeader) != 0x04034b50) malformed();
      const std::uint16_t localFlags = load16(localHeader + 6);
      const std::uint16_t localCorrected = static_cast<std::uint16_t>(utf8 ? localFlags | 0x800 : localFlags & ~0x800);
      const unsigned char localBytes[2] = {static_cast<unsigned char>(localCorrected),
                                           static_cast<unsigned char>(localCorrected >> 8)};
      writeAt(fd, bytes, 2, directoryOffset + at + 8);
      writeAt(fd, localBytes, 2, local + 6);
    }
    at += recordLength;
  }
}

// libzip writes no file at all for an archive without entries; an empty
// archive is its end-of-central-directory record alone.
void writeEmptyArchive(int fd) {
  static const unsigned char kEnd[22] = {'P', 'K', 5, 6};
  writeAt(fd, kEnd, sizeof kEnd, 0);
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
  const zip_int64_t index = zip_dir_add(archive_->handle, name.c_str(), kNameEncoding);
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
  correctNameFlags(fd_);
}

}  // namespace velmora::platform
