// Raw deflate data (no zlib or gzip wrapper) at level 6, and CRC-32: the
// pieces of a zip entry that is compressed before the zip writer sees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace velmora::platform {

// A compressor failure: out of memory inside the library, or a bug.
class DeflateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Compresses a whole buffer into one complete stream (libdeflate, about
// twice zlib's speed). One thread at a time; reusable.
class WholeDeflater {
 public:
  WholeDeflater();
  ~WholeDeflater();
  WholeDeflater(const WholeDeflater&) = delete;
  WholeDeflater& operator=(const WholeDeflater&) = delete;

  // The largest output that `length` input bytes can give.
  std::size_t bound(std::size_t length) const;
  // Returns the stream's length; `capacity` must be at least bound(length).
  std::size_t compress(const unsigned char* input, std::size_t length, unsigned char* output, std::size_t capacity);

 private:
  struct Compressor;
  std::unique_ptr<Compressor> compressor_;
};

// Compresses one chunk of a file cut into chunks (zlib): the chunk is primed
// with the bytes that precede it in the file (up to 32 KiB), and ends on a
// byte boundary (a sync flush) unless it is the last, which ends the stream.
// The chunks of a file, in order, concatenate into one valid stream, the
// same bytes whichever thread compressed which chunk. One thread at a time.
class ChunkDeflater {
 public:
  static constexpr std::size_t kDictionary = 32 * 1024;

  ChunkDeflater();
  ~ChunkDeflater();
  ChunkDeflater(const ChunkDeflater&) = delete;
  ChunkDeflater& operator=(const ChunkDeflater&) = delete;

  static std::size_t bound(std::size_t length);
  // `dictionary` holds the `dictionaryLength` bytes just before `input`.
  // Returns the output's length; `capacity` must be at least bound(length).
  std::size_t compress(const unsigned char* dictionary, std::size_t dictionaryLength, const unsigned char* input,
                       std::size_t length, bool last, unsigned char* output, std::size_t capacity);

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
};

std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) noexcept;
// The CRC of A followed by B, from the CRCs of both and B's length.
std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) noexcept;

}  // namespace velmora::platform
