// Strict UTF-8 validation (Unicode 15, table 3-7): overlong forms, UTF-16
// surrogates, code points past U+10FFFF and truncated sequences are invalid.
// The validator is fed in pieces, so output can be checked block by block as
// it is read, while the bytes are still in cache; sequences may straddle
// pieces.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmora::detail {

class Utf8Validator {
 public:
  // Returns false once the input so far cannot be valid UTF-8.
  bool feed(std::string_view bytes) noexcept;
  // True when everything fed is valid and no sequence is left unfinished.
  bool finish() const noexcept { return valid_ && pending_ == 0; }

 private:
  bool valid_ = true;
  std::uint8_t pending_ = 0;  // continuation bytes still expected
  std::uint8_t low_ = 0x80;   // allowed range of the next continuation byte
  std::uint8_t high_ = 0xBF;
};

bool isValidUtf8(std::string_view bytes) noexcept;

}  // namespace velmora::detail
