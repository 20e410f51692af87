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

struct ChunkDeflater::Inflater {
  z_stream z{};
  unsigned char scratch[64 * 1024];  // inflated bytes land here and are dropped
  ~Inflater() { inflateEnd(&z); }
};

ChunkDeflater::ChunkDeflater() : inflater_(std::make_unique<Inflater>()) {
  if (inflateInit2(&inflater_->z, -15) != Z_OK) throw DeflateError("Cannot start the decompressor: out of memory");
}

ChunkDeflater::~ChunkDeflater() = default;

std::size_t ChunkDeflater::bound(std::size_t length) const {
  return deflater_.bound(length) + 8;  // the empty stored block and its padding
}

std::size_t ChunkDeflater::compress(const unsigned char* input, std::size_t length, bool last, unsigned char* output,
                                    std::size_t capacity) {
  const std::size_t written = deflater_.compress(input, length, output, capacity - 8);
  if (last) return written;
  if (written > UINT_MAX) throw DeflateError("A chunk is too large for the decompressor");

  // Walk the blocks: inflate with Z_BLOCK returns at the end of each one,
  // where data_type's low bits count the unused bits of the last byte read.
  z_stream& z = inflater_->z;
  if (inflateReset(&z) != Z_OK) throw DeflateError("Cannot reset the decompressor");
  z.next_in = output;
  z.avail_in = static_cast<uInt>(written);
  const auto bitsRead = [&] { return (written - z.avail_in) * 8 - (static_cast<unsigned>(z.data_type) & 7); };
  // 64 marks the final block; at its end inflate still returns Z_OK once,
  // before it skips to a byte boundary, and that is where the stream ends.
  std::size_t finalBlock = 0;  // where the block being read began, in bits
  std::size_t end = 0;
  while (true) {
    z.next_out = inflater_->scratch;
    z.avail_out = sizeof inflater_->scratch;
    const int result = inflate(&z, Z_BLOCK);
    if (result != Z_OK) throw DeflateError("The compressor's output does not inflate");
    if ((z.data_type & 128) == 0) continue;  // the scratch space ran out mid-block
    if (z.data_type & 64) {
      end = bitsRead();
      break;
    }
    finalBlock = bitsRead();  // a block's end: the next one starts here
  }

  // Clear the final block's BFINAL bit (its header's first bit; bits are
  // packed from the least significant end), then write a stored block
  // header (BFINAL 0, BTYPE 00) and zero padding up to a byte boundary,
  // then the stored block's LEN 0 and NLEN 0xFFFF.
  output[finalBlock / 8] = static_cast<unsigned char>(output[finalBlock / 8] & ~(1u << (finalBlock % 8)));
  const std::size_t aligned = (end + 3 + 7) / 8;
  for (std::size_t at = written; at < aligned + 4; ++at) output[at] = 0;
  for (std::size_t bit = end; bit < aligned * 8; ++bit) {
    output[bit / 8] = static_cast<unsigned char>(output[bit / 8] & ~(1u << (bit % 8)));
  }
  output[aligned + 2] = 0xff;
  output[aligned + 3] = 0xff;
  return aligned + 4;
}

std::uint32_t crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) noexcept {
  return libdeflate_crc32(crc, data, length);
}

std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) noexcept {
  return static_cast<std::uint32_t>(::crc32_combine(first, second, static_cast<z_off_t>(secondLength)));
}

}  // namespace velmora::platform
