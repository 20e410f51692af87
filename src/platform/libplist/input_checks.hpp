// Checks made on a property list's bytes before libplist parses them.
//
// libplist 2.2 (Debian 12) asserts, and so aborts the process, on a string
// or key holding U+0000; it cuts an ASCII string at its NUL; it recurses
// once per nesting level (a few hundred thousand levels fit in a few MiB and
// overflow the stack); and it builds a binary object once per reference, so
// a few hundred bytes of shared references expand without end. Input that
// could do any of this is refused here, which costs nothing for a real
// Info.plist.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::platform {

inline constexpr std::size_t kMaxPropertyListNesting = 256;
inline constexpr std::size_t kMaxPropertyListNodes = std::size_t{1} << 20;

// An XML property list: no NUL byte anywhere, elements nested at most
// kMaxPropertyListNesting deep, every markup construct closed.
bool xmlPropertyListIsAcceptable(std::string_view text) noexcept;

// A binary property list ("bplist00"): a consistent trailer and offset table,
// no string reachable from the top object holding U+0000, no reference
// cycle, at most kMaxPropertyListNesting levels and kMaxPropertyListNodes
// nodes once every reference is expanded.
bool binaryPropertyListIsAcceptable(std::string_view bytes);

}  // namespace velmora::platform
