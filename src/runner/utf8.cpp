#include "runner/utf8.hpp"

#include <cstring>

namespace velmora::detail {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

}  // namespace

bool Utf8Validator::feed(std::string_view bytes) noexcept {
  if (!valid_) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p != end) {
    if (pending_ == 0) {
      // ASCII fast path: eight bytes at a time while none has its high bit set.
      while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (word & kHighBits) break;
        p += 8;
      }
      if (p == end) break;
      const unsigned char lead = *p++;
      if (lead < 0x80) continue;
      low_ = 0x80;
      high_ = 0xBF;
      if (lead >= 0xC2 && lead <= 0xDF) {
        pending_ = 1;
      } else if (lead >= 0xE0 && lead <= 0xEF) {
        pending_ = 2;
        if (lead == 0xE0) low_ = 0xA0;  // overlong
        if (lead == 0xED) high_ = 0x9F;  // surrogates
      } else if (lead >= 0xF0 && lead <= 0xF4) {
        pending_ = 3;
        if (lead == 0xF0) low_ = 0x90;  // overlong
        if (lead == 0xF4) high_ = 0x8F;  // past U+10FFFF
      } else {
        valid_ = false;  // continuation byte, C0/C1 overlong lead, F5..FF
        return false;
      }
      continue;
    }
    const unsigned char next = *p++;
    if (next < low_ || next > high_) {
      valid_ = false;
      return false;
    }
    low_ = 0x80;
    high_ = 0xBF;
    --pending_;
  }
  return true;
}

bool isValidUtf8(std::string_view bytes) noexcept {
  Utf8Validator validator;
  return validator.feed(bytes) && validator.finish();
}

}  // namespace velmora::detail
