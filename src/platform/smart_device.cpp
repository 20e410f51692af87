#include "platform/smart_device.hpp"

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

}  // namespace velmora::platform
