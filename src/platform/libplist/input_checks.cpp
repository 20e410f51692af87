#include "platform/libplist/input_checks.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace velmora::platform {

bool xmlPropertyListIsAcceptable(std::string_view text) noexcept {
  if (text.find('\0') != std::string_view::npos) return false;
  // Markup is skipped the way libplist skips it, so that an end tag hidden
  // in a comment, a CDATA section or a DOCTYPE subset never lowers the depth.
  std::size_t depth = 0;
  for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
    const std::string_view rest = text.substr(at);
    std::string_view closer;
    std::size_t searchFrom = at + 1;
    if (rest.starts_with("<!--")) {
      closer = "-->";
      searchFrom = at + 4;
    } else if (rest.starts_with("<![CDATA[")) {
      closer = "]]>";
      searchFrom = at + 9;
    } else if (rest.starts_with("<!DOCTYPE")) {
      const std::size_t mark = rest.find_first_of("[>");
      if (mark == std::string_view::npos) return false;
      closer = rest[mark] == '[' ? "]>" : ">";
      searchFrom = at + mark;
    } else if (rest.starts_with("<!")) {
      return false;
    } else if (rest.starts_with("<?")) {
      closer = "?>";
    }
    if (!closer.empty()) {
      const std::size_t end = text.find(closer, searchFrom);
      if (end == std::string_view::npos) return false;
      at = end + closer.size();
      continue;
    }
    const std::size_t end = text.find_first_of("<>", at + 1);
    if (end == std::string_view::npos || text[end] != '>') return false;
    if (text[at + 1] == '/') {
      if (depth > 0) --depth;
    } else if (text[end - 1] != '/' && ++depth > kMaxPropertyListNesting) {
      return false;
    }
    at = end + 1;
  }
  return true;
}

namespace {

constexpr std::size_t kTrailerSize = 32;
constexpr std::size_t kHeaderSize = 8;  // "bplist00"

std::uint64_t loadBigEndian(std::string_view bytes, std::size_t at, std::size_t width) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The part of one object these checks need: its type, its element count
// (bytes, UTF-16 units or references) and where its content starts.
struct ObjectHeader {
  unsigned type = 0;
  std::uint64_t count = 0;
  std::size_t content = 0;
};

class BinaryChecker {
 public:
  explicit BinaryChecker(std::string_view bytes) : bytes_(bytes) {}

  bool check() {
    if (bytes_.size() < kHeaderSize + 1 + kTrailerSize) return false;
    trailerStart_ = bytes_.size() - kTrailerSize;
    offsetSize_ = static_cast<unsigned char>(bytes_[trailerStart_ + 6]);
    refSize_ = static_cast<unsigned char>(bytes_[trailerStart_ + 7]);
    objectCount_ = loadBigEndian(bytes_, trailerStart_ + 8, 8);
    const std::uint64_t top = loadBigEndian(bytes_, trailerStart_ + 16, 8);
    tableOffset_ = loadBigEndian(bytes_, trailerStart_ + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
    if (tableOffset_ <= kHeaderSize || tableOffset_ > trailerStart_) return false;
    if (objectCount_ == 0 || objectCount_ > (trailerStart_ - tableOffset_) / offsetSize_) return false;
    if (top >= objectCount_) return false;
    return walkFrom(top);
  }

 private:
  enum class Visit : std::uint8_t { notYet, onPath, done };

  struct Frame {
    std::uint64_t object;
    ObjectHeader header;
    std::uint64_t references;  // children to visit
    std::uint64_t next = 0;
    std::uint64_t nodes = 1;  // this object and the children expanded so far
  };

  std::optional<ObjectHeader> header(std::uint64_t object) const {
    const std::uint64_t at = loadBigEndian(bytes_, tableOffset_ + object * offsetSize_, offsetSize_);
    if (at < kHeaderSize || at >= tableOffset_) return std::nullopt;
    const auto marker = static_cast<unsigned char>(bytes_[at]);
    ObjectHeader result{static_cast<unsigned>(marker >> 4), marker & 0x0Fu, static_cast<std::size_t>(at) + 1};
    if (result.count == 0x0F && isSized(result.type)) {
      // The count follows as an integer object of 1, 2, 4 or 8 bytes.
      if (result.content >= tableOffset_) return std::nullopt;
      const auto intMarker = static_cast<unsigned char>(bytes_[result.content]);
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return std::nullopt;
      const std::size_t width = std::size_t{1} << (intMarker & 0x0F);
      if (width > tableOffset_ - result.content - 1) return std::nullopt;
      result.count = loadBigEndian(bytes_, result.content + 1, width);
      result.content += 1 + width;
    }
    return result;
  }

  static bool isSized(unsigned type) noexcept { return type >= 0x4 && type != 0x8; }
  static bool isString(unsigned type) noexcept { return type >= 0x5 && type <= 0x7; }
  static bool isContainer(unsigned type) noexcept { return type >= 0xA && type <= 0xD; }

  // Whether the string's bytes lie inside the object area and hold no NUL
  // (for UTF-16, no zero code unit).
  bool stringIsAcceptable(const ObjectHeader& string) const {
    const std::size_t unit = string.type == 0x6 ? 2 : 1;
    const std::size_t room = tableOffset_ > string.content ? tableOffset_ - string.content : 0;
    if (string.count > room / unit) return false;
    const std::string_view content = bytes_.substr(string.content, string.count * unit);
    if (unit == 1) return content.find('\0') == std::string_view::npos;
    for (std::size_t i = 0; i < content.size(); i += 2) {
      if (content[i] == '\0' && content[i + 1] == '\0') return false;
    }
    return true;
  }

  // The number of references a container holds, when they all lie inside
  // the object area.
  std::optional<std::uint64_t> referenceCount(const ObjectHeader& container) const {
    const std::uint64_t perEntry = container.type == 0xD ? 2 : 1;
    const std::size_t room = tableOffset_ > container.content ? tableOffset_ - container.content : 0;
    if (container.count > room / refSize_ / perEntry) return std::nullopt;
    return container.count * perEntry;
  }

  // Depth-first from the top object, without recursion: every reachable
  // string checked, cycles and excessive depth or expansion refused.
  bool walkFrom(std::uint64_t top) {
    std::vector<Visit> visits(objectCount_, Visit::notYet);
    std::vector<std::uint32_t> expanded(objectCount_, 0);
    std::vector<Frame> path;
    path.reserve(kMaxPropertyListNesting);  // never reallocated while a frame is referred to
    std::uint64_t topNodes = 0;

    // Enters `object`; false when it is refused. Leaves are finished at once.
    auto enter = [&](std::uint64_t object, std::uint64_t& parentNodes) -> bool {
      if (visits[object] == Visit::onPath) return false;
      if (visits[object] == Visit::done) {
        parentNodes = std::min<std::uint64_t>(parentNodes + expanded[object], kMaxPropertyListNodes + 1);
        return parentNodes <= kMaxPropertyListNodes;
      }
      const auto found = header(object);
      if (!found) return false;
      if (isString(found->type) && !stringIsAcceptable(*found)) return false;
      if (!isContainer(found->type)) {
        visits[object] = Visit::done;
        expanded[object] = 1;
        parentNodes = std::min<std::uint64_t>(parentNodes + 1, kMaxPropertyListNodes + 1);
        return parentNodes <= kMaxPropertyListNodes;
      }
      const auto references = referenceCount(*found);
      if (!references || path.size() >= kMaxPropertyListNesting) return false;
      visits[object] = Visit::onPath;
      path.push_back(Frame{object, *found, *references});
      return true;
    };

    if (!enter(top, topNodes)) return false;
    while (!path.empty()) {
      Frame& frame = path.back();
      if (frame.next < frame.references) {
        const std::uint64_t child =
            loadBigEndian(bytes_, frame.header.content + frame.next * refSize_, refSize_);
        ++frame.next;
        if (child >= objectCount_) return false;
        if (!enter(child, frame.nodes)) return false;
        continue;
      }
      const Frame finished = frame;
      path.pop_back();
      visits[finished.object] = Visit::done;
      expanded[finished.object] = static_cast<std::uint32_t>(finished.nodes);
      std::uint64_t& parentNodes = path.empty() ? topNodes : path.back().nodes;
      parentNodes = std::min<std::uint64_t>(parentNodes + finished.nodes, kMaxPropertyListNodes + 1);
      if (parentNodes > kMaxPropertyListNodes) return false;
    }
    return true;
  }

  std::string_view bytes_;
  std::size_t trailerStart_ = 0;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t tableOffset_ = 0;
};

}  // namespace

bool binaryPropertyListIsAcceptable(std::string_view bytes) { return BinaryChecker(bytes).check(); }

}  // namespace velmora::platform
