#include "platform/smart_device.hpp"

#include <system_error>

namespace velmora::platform {

Service& Service::operator=(Service&& other) noexcept {
  if (this != &other) {
    if (id_ != 0) registry_->release(id_);
    registry_ = std::move(other.registry_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

Service::~Service() {
  if (id_ != 0) registry_->release(id_);
}

Service Service::retained() const {
  if (id_ != 0) registry_->retain(id_);
  return Service(registry_, id_);
}

std::optional<std::string> systemResultText(KernReturn code) {
  if (code <= 0) return std::nullopt;
  std::string text = std::error_code(code, std::system_category()).message();
  if (text.rfind("Unknown error", 0) == 0) return std::nullopt;
  return text;
}

}  // namespace velmora::platform
