#include "runner/utf8.hpp"

#include <string>

#include <gtest/gtest.h>

namespace velmora::detail {
namespace {

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

const Utf8Case kCases[] = {
    {"empty", "", true},
    {"ascii longer than a word", "0123456789abcdefghijklmnopqrstuvwxyz", true},
    {"largest code point", "\xF4\x8F\xBF\xBF", true},
    {"last before surrogates", "\xED\x9F\xBF", true},
    {"first after surrogates", "\xEE\x80\x80", true},
    {"NUL is valid", std::string("a\0b", 3), true},
    {"overlong two-byte (C1)", "\xC1\xBF", false},
    {"overlong three-byte, upper edge", "\xE0\x9F\xBF", false},
    {"overlong four-byte", "\xF0\x8F\xBF\xBF", false},
    {"high surrogate", "\xED\xA0\x80", false},
    {"low surrogate", "\xED\xBF\xBF", false},
    {"past U+10FFFF", "\xF4\x90\x80\x80", false},
    {"F5 lead", "\xF5\x80\x80\x80", false},
    {"lone continuation", "a\x80", false},
    {"truncated four-byte at end", "\xF0\x9F\x98", false},
    {"truncated sequence followed by ASCII", "\xE2\x82z", false},
    {"invalid after 8 ASCII bytes", "abcdefgh\xFF", false},
};

TEST(Utf8Validation, AcceptsExactlyWellFormedUtf8) {
  for (const auto& c : kCases) {
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << c.name;
  }
}

// Output arrives in arbitrary blocks: the verdict must not depend on where a
// block ends, also in the middle of a sequence.
TEST(Utf8Validation, VerdictDoesNotDependOnHowInputIsSplit) {
  for (const auto& c : kCases) {
    const std::string bytes = "0123456789" + c.bytes + "xyz";
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      for (std::size_t second = cut; second <= bytes.size(); ++second) {
        Utf8Validator validator;
        validator.feed(std::string_view(bytes).substr(0, cut));
        validator.feed(std::string_view(bytes).substr(cut, second - cut));
        validator.feed(std::string_view(bytes).substr(second));
        // A truncated sequence followed by "xyz" is invalid, as is the rest.
        EXPECT_EQ(validator.finish(), isValidUtf8(bytes)) << c.name << " cut at " << cut << "," << second;
      }
    }
  }
}

}  // namespace
}  // namespace velmora::detail
