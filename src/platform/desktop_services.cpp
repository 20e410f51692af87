#include <mutex>

#include "velmora/desktop.hpp"

namespace velmora {

namespace {

std::mutex& servicesMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<DesktopServices>& installed() {
  static std::shared_ptr<DesktopServices> services;
  return services;
}

}  // namespace

std::shared_ptr<DesktopServices> desktopServices() {
  std::lock_guard lock(servicesMutex());
  if (!installed()) installed() = platformDesktopServices();
  return installed();
}

void setDesktopServices(std::shared_ptr<DesktopServices> services) {
  std::lock_guard lock(servicesMutex());
  installed() = std::move(services);
}

}  // namespace velmora
