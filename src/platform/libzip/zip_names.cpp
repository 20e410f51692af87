#include "platform/libzip/zip_names.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <utf8proc.h>

#include "platform/errno/errno_calls.hpp"
#include "platform/posix/system_calls.hpp"
#include "platform/zip_writer.hpp"

namespace velmora::platform::zipnames {

namespace sys = posix::sys;

namespace {

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

}  // namespace

bool isMarkedUtf8(std::string_view name) { return !isAscii(name) && isUtf8(name); }

std::string standIn(const std::string& name, unsigned attempt) {
  if (isAscii(name) || isUtf8(name)) return attempt == 0 ? name : std::string();
  // The bytes above 0x7f, read as the digits of `attempt` in base 62.
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string out = name;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x80) continue;
    c = kDigits[attempt % 62];
    attempt /= 62;
  }
  return attempt == 0 ? out : std::string();
}

namespace {

std::uint16_t load16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t load32(const unsigned char* p) { return load16(p) | static_cast<std::uint32_t>(load16(p + 2)) << 16; }
std::uint64_t load64(const unsigned char* p) { return load32(p) | static_cast<std::uint64_t>(load32(p + 4)) << 32; }

[[noreturn]] void malformed() { throw ZipWriterError("The written archive cannot be read back"); }

void readAt(int fd, unsigned char* into, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got =
        retryOnInterrupt([&] { return sys::pread(fd, into + done, size - done, static_cast<off_t>(offset + done)); });
    if (got < 0) throw ZipWriterError(std::string("Cannot read the archive back: ") + std::strerror(errno), errno);
    if (got == 0) malformed();
    done += static_cast<std::size_t>(got);
  }
}

}  // namespace

void writeAt(int fd, const unsigned char* from, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t put =
        retryOnInterrupt([&] { return sys::pwrite(fd, from + done, size - done, static_cast<off_t>(offset + done)); });
    if (put <= 0) throw ZipWriterError(std::string("Cannot write the archive: ") + std::strerror(errno), errno);
    done += static_cast<std::size_t>(put);
  }
}

namespace {

// Where the local header of the entry whose central record is `header`
// lies; offsets beyond 32 bits are in its zip64 extra field, which holds,
// in order, only the fields that are 0xffffffff in the record.
std::uint64_t localHeaderOffset(const unsigned char* header, std::size_t nameLength, std::size_t extraLength) {
  std::uint64_t local = load32(header + 42);
  if (local != 0xffffffff) return local;
  for (std::size_t e = 46 + nameLength; e + 4 <= 46 + nameLength + extraLength;) {
    const std::size_t id = load16(header + e), length = load16(header + e + 2);
    if (e + 4 + length > 46 + nameLength + extraLength) malformed();
    if (id == 0x0001) {
      const std::size_t skip = (load32(header + 24) == 0xffffffff ? 8 : 0) + (load32(header + 20) == 0xffffffff ? 8 : 0);
      if (skip + 8 > length) malformed();
      return load64(header + e + 4 + skip);
    }
    e += 4 + length;
  }
  malformed();
}

std::uint16_t withFlag(std::uint16_t flags, bool utf8) {
  return static_cast<std::uint16_t>(utf8 ? flags | 0x800 : flags & ~0x800);
}

void store16(unsigned char* p, std::uint16_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

}  // namespace

// The end record is the archive's last 22 bytes (no comment); the zip64
// records precede it when the archive needs them.
void correctNames(int fd, const std::unordered_map<std::uint64_t, std::string>& names) {
  const off_t end = sys::lseek(fd, 0, SEEK_END);
  if (end < 0) throw ZipWriterError(std::string("Cannot read the archive back: ") + std::strerror(errno), errno);
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
    const auto own = names.find(entry);
    if (own != names.end() && own->second.size() != nameLength) malformed();
    const std::string_view name = own != names.end() ? std::string_view(own->second)
                                                     : std::string_view(reinterpret_cast<const char*>(header + 46), nameLength);
    const bool utf8 = isMarkedUtf8(name);
    const std::uint16_t flags = load16(header + 8);
    if (((flags & 0x800) != 0) != utf8 || own != names.end()) {
      const std::uint64_t local = localHeaderOffset(header, nameLength, extraLength);
      unsigned char localHeader[30];
      if (local > size || size - local < 30 + nameLength) malformed();
      readAt(fd, localHeader, sizeof localHeader, local);
      if (load32(localHeader) != 0x04034b50 || load16(localHeader + 26) != nameLength) malformed();
      store16(localHeader + 6, withFlag(load16(localHeader + 6), utf8));
      store16(header + 8, withFlag(flags, utf8));
      writeAt(fd, header + 8, 2, directoryOffset + at + 8);
      writeAt(fd, localHeader + 6, 2, local + 6);
      if (own != names.end()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(own->second.data());
        writeAt(fd, bytes, nameLength, directoryOffset + at + 46);
        writeAt(fd, bytes, nameLength, local + 30);
      }
    }
    at += recordLength;
  }
}

}  // namespace velmora::platform::zipnames
