#include <memory>
#include <mutex>
#include <system_error>

#include "platform/desktop_support.hpp"
#include "platform/process.hpp"
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

namespace platform {

std::string appleScriptString(const std::string& text) {
  std::string literal = "\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') literal += '\\';
    literal += c;
  }
  return literal + "\"";
}

bool launchOpener(const std::string& opener, const std::string& url) {
  ChildProcess child(opener, {url});
  try {
    child.start();
  } catch (const std::system_error&) {
    return false;
  }
  child.letRunToEnd();
  return true;
}

}  // namespace platform

}  // namespace velmora
