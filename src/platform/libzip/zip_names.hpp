// The names of the entries libzip writes: given to it in a form it cannot
// misread, and set right in the written archive afterwards.
//
// libzip compares names after converting those it takes for CP437 (any
// name that is not UTF-8) to UTF-8, so "caf\x82" and "café" clash ("File
// already exists"), whatever encoding flag it is given. Such a name is
// given as a stand-in of the same length instead, its bytes above 0x7f
// replaced by ASCII, and its own bytes are written over the stand-in once
// the archive is complete. The same pass sets bit 11 (the name is UTF-8)
// from our own check, stricter than libzip's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmora::platform::zipnames {

// Valid by RFC 3629 (no overlong form, no surrogate, nothing above
// U+10FFFF, no cut sequence) and not plain ASCII.
bool isMarkedUtf8(std::string_view name);

// What libzip is given for `name`: the name itself unless libzip would
// convert it; otherwise stand-in number `attempt` (another one is tried
// when libzip finds a name already there). Empty when there are no more.
std::string standIn(const std::string& name, unsigned attempt);

// Writes `size` bytes at `offset`. Throws ZipWriterError with errno.
void writeAt(int fd, const unsigned char* from, std::size_t size, std::uint64_t offset);

// Over the archive written at `fd`: writes each entry's own name where a
// stand-in took its place (`names`, by entry number) and sets every
// entry's bit 11, in its central directory record and its local header.
// The archive has no comment. Throws ZipWriterError.
void correctNames(int fd, const std::unordered_map<std::uint64_t, std::string>& names);

}  // namespace velmora::platform::zipnames
