#include "platform/deflate.hpp"

#include <climits>

#include <libdeflate.h>
#include <zlib.h>

namespace velmora::platform {

namespace {

constexpr int kLevel = 6;

}  // namespace

struct WholeDeflater::Compressor {
  libdeflate_compressor* handle = nullptr;
  ~Compressor() { libdeflate_free_compressor(handle); }
};

WholeDeflater::WholeDeflater() : compressor_(std::make_unique<Compressor>()) {
  compressor_->handle = libdeflate_alloc_compressor(kLevel);
  if (!compressor_->handle) throw DeflateError("Cannot start the compressor: out of memory");
}

WholeDeflater::~WholeDeflater() = default;

std::size_t WholeDeflater::bound(std::size_t length) const {
  return libdeflate_deflate_compress_bound(compressor_->handle, length);
}

std::size_t WholeDeflater::compress(const unsigned char* input, std::size_t length, unsigned char* output,
                                    std::size_t capacity) {
  const std::size_t written = libdeflate_deflate_compress(compressor_->handle, input, length, output, capacity);
  // Only a buffer smaller than bound() can make it fail.
  if (written == 0) throw DeflateError("Compressed data did not fit its buffer");
  return written;
}

struct ChunkDeflater::Stream {
  z_stream z{};
  ~Stream() { deflateEnd(&z); }
};

ChunkDeflater::ChunkDeflater() : stream_(std::make_unique<Stream>()) {
  // Raw deflate (negative window bits), as zip entries hold it; memLevel 8
  // as zlib's default.
  if (deflateInit2(&stream_->z, kLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw DeflateError("Cannot start the compressor: out of memory");
  }
}

ChunkDeflater::~ChunkDeflater() = default;

std::size_t ChunkDeflater::bound(std::size_t length) {
  // zlib's bound for a whole stream, with room for the sync flush's empty
  // stored block and the headers of blocks cut short by it.
  return compressBound(static_cast<uLong>(length)) + 64;
}

std::size_t ChunkDeflater::compress(const unsigned char* dictionary, std::size_t dictionaryLength,
                                    const unsigned char* input, std::size_t length, bool last, unsigned char* output,
                                    std::size_t capacity) {
  static_assert(sizeof(uInt) >= 4);
  if (length > UINT_MAX || capacity > UINT_MAX || dictionaryLength > kDictionary) {
    throw DeflateError("A chunk is too large for the compressor");
  }
  z_stream& z = stream_->z;
  if (deflateReset(&z) != Z_OK) throw DeflateError("Cannot reset the compressor");
  if (dictionaryLength > 0 &&
      deflateSetDictionary(&z, dictionary, static_cast<uInt>(dictionaryLength)) != Z_OK) {
    throw DeflateError("Cannot prime the compressor");
  }
  z.next_in = const_cast<unsigned char*>(input);  // zlib's API is not const-correct
  z.avail_in = static_cast<uInt>(length);
  z.next_out = output;
  z.avail_out = static_cast<uInt>(capacity);
  const int result = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
  const bool complete = last ? result == Z_STREAM_END : (result == Z_OK && z.avail_in == 0 && z.avail_out > 0);
  if (!complete) throw DeflateError("Compressed data did not fit its buffer");
  return capacity - z.avail_out;
}

std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) noexcept {
  return libdeflate_crc32(crc, data, length);
}

std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) noexcept {
  return static_cast<std::uint32_t>(::crc32_combine(first, second, static_cast<z_off_t>(secondLength)));
}

}  // namespace velmora::platform
