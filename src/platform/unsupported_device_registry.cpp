// The device registry of a system this library has no drive backend for
// (neither Linux nor macOS): every lookup fails as a lookup that found
// nothing.
#include "platform/smart_device.hpp"

namespace velmora::platform {

namespace {

class UnsupportedRegistry final : public DeviceRegistry {
 public:
  Service matchBSDName(const std::string&) override { return {}; }
  bool conformsToBlockStorageDevice(const Service&) override { return false; }
  KernReturn parentEntry(const Service&, Service&) override { return kKernNotFound; }
  std::optional<bool> booleanProperty(const Service&, const std::string&) override { return std::nullopt; }
  KernReturn createPlugInInterface(const Service&, const Uuid&, const Uuid&, std::unique_ptr<PlugIn>&) override {
    return kKernNotFound;
  }
  std::optional<std::string> bsdNameForVolume(const std::string&, std::string& error) override {
    error = "Failed to create session";
    return std::nullopt;
  }
  void retain(std::uint64_t) override {}
  void release(std::uint64_t) override {}
};

}  // namespace

std::shared_ptr<DeviceRegistry> systemDeviceRegistry() { return std::make_shared<UnsupportedRegistry>(); }

}  // namespace velmora::platform
