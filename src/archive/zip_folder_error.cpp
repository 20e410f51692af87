#include "velmora/archive/zip_folder.hpp"

namespace velmora {

const char* ZipFolderError::caseName() const noexcept {
  switch (case_) {
    case Case::invalidPrefix: return "invalidPrefix";
    case Case::unsupportedItem: return "unsupportedItem";
    case Case::unreadableItem: return "unreadableItem";
    case Case::cancelled: return "cancelled";
    case Case::writeFailed: return "writeFailed";
  }
  return "unknown";
}

}  // namespace velmora
