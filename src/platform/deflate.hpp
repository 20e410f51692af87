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

// Compresses one chunk of a file cut into chunks, so that the chunks, in
// order, concatenate into one valid stream, the same bytes whichever thread
// compressed which chunk. Each chunk is a complete stream (libdeflate, as
// WholeDeflater); unless it is the file's last, its final block is then
// reopened and followed by an empty stored block, which ends it on a byte
// boundary. Finding that block takes a pass of zlib's inflate over the
// chunk's output, which costs about a fifth of compressing it. One thread
// at a time; reusable.
class ChunkDeflater {
 public:
  ChunkDeflater();
  ~ChunkDeflater();
  ChunkDeflater(const ChunkDeflater&) = delete;
  ChunkDeflater& operator=(const ChunkDeflater&) = delete;

  std::size_t bound(std::size_t length) const;
  // Returns the output's length; `capacity` must be at least bound(length).
  std::size_t compress(const unsigned char* input, std::size_t length, bool last, unsigned char* output,
                       std::size_t capacity);

 private:
  struct Inflater;
  WholeDeflater deflater_;
  std::unique_ptr<Inflater> inflater_;
};

std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) noexcept;
// The CRC of A followed by B, from the CRCs of both and B's length.
std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) noexcept;

}  // namespace velmora::platform
