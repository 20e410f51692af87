// A registry of fake services with properties and recorded SMART pages, in
// which each call's result code can be set, so that every error path of the
// reader can be reached. It counts references, plug-ins and interfaces still
// alive, so tests can check that everything was given back.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <vector>

#include "platform/smart_device.hpp"
#include "smart/smart_interfaces.hpp"
#include "smart/smart_reader_impl.hpp"

namespace velmora::test {

struct FakeDevice {
  std::string bsdName;
  std::string parent;            // "" for none
  bool blockStorage = false;
  std::map<std::string, std::optional<bool>> booleans;  // nullopt: present but not a boolean
  platform::KernReturn parentResult = 0;
  bool parentMissing = false;    // success without a parent

  // Plug-in creation and interface query.
  platform::KernReturn createResult = 0;
  bool plugInWithFailure = false;  // hand back a plug-in although creation failed
  bool noPlugIn = false;           // success without a plug-in
  bool noFunctionTable = false;
  platform::KernReturn queryResult = 0;
  bool interfaceWithFailure = false;
  bool noInterface = false;

  // The SMART pages and the result of each read, in order (missing: success).
  std::array<std::uint8_t, 512> page{};
  std::vector<platform::DeviceResult> readResults;
  platform::KernReturn logResult = 0;
  std::vector<std::uint8_t> statistics = std::vector<std::uint8_t>(4096, 0);
};

class FakeRegistry final : public platform::DeviceRegistry {
 public:
  void add(FakeDevice device) { devices_[device.bsdName] = std::move(device); }
  FakeDevice& device(const std::string& name) { return devices_.at(name); }

  // Calls made, for the tests' eyes: "read", "enable", "log", "create:<type first byte>".
  std::vector<std::string> calls;
  int liveReferences = 0;
  int livePlugIns = 0;
  int liveInterfaces = 0;
  std::map<std::string, std::string> volumes;  // path -> BSD name

  platform::Service matchBSDName(const std::string& name) override {
    if (!devices_.count(name)) return {};
    return make(name);
  }
  bool conformsToBlockStorageDevice(const platform::Service& service) override {
    return devices_.at(nameOf(service)).blockStorage;
  }
  platform::KernReturn parentEntry(const platform::Service& service, platform::Service& parent) override {
    const FakeDevice& d = devices_.at(nameOf(service));
    if (d.parentResult != 0) return d.parentResult;
    if (!d.parentMissing && !d.parent.empty()) parent = make(d.parent);
    return 0;
  }
  std::optional<bool> booleanProperty(const platform::Service& service, const std::string& key) override {
    const FakeDevice& d = devices_.at(nameOf(service));
    const auto found = d.booleans.find(key);
    return found == d.booleans.end() ? std::nullopt : found->second;
  }
  platform::KernReturn createPlugInInterface(const platform::Service& service, const platform::Uuid& type,
                                             const platform::Uuid&, std::unique_ptr<platform::PlugIn>& plugIn) override;

  std::optional<std::string> bsdNameForVolume(const std::string& path, std::string& error) override {
    const auto found = volumes.find(path);
    if (found == volumes.end()) {
      error = "Failed to create DADisk from volume path";
      return std::nullopt;
    }
    return found->second;
  }
  void retain(std::uint64_t id) override {
    ++references_.at(id).second;
    ++liveReferences;
  }
  void release(std::uint64_t id) override {
    --liveReferences;
    if (--references_.at(id).second == 0) references_.erase(id);
  }

  std::string nameOf(const platform::Service& service) const { return references_.at(service.id()).first; }

 private:
  platform::Service make(const std::string& name) {
    const std::uint64_t id = ++lastId_;
    references_[id] = {name, 1};
    ++liveReferences;
    return platform::Service(shared_from_this(), id);
  }

  std::map<std::string, FakeDevice> devices_;
  std::map<std::uint64_t, std::pair<std::string, int>> references_;
  std::uint64_t lastId_ = 0;
};

class FakeClient final : public platform::SMARTUserClient {
 public:
  FakeClient(FakeRegistry& registry, FakeDevice& device) : registry_(registry), device_(device) {
    ++registry_.liveInterfaces;
  }
  ~FakeClient() override { --registry_.liveInterfaces; }
  platform::DeviceResult nvmeReadSMARTData(std::span<std::uint8_t, 512> page) override { return read(page); }
  platform::DeviceResult ataReadSMARTData(std::span<std::uint8_t, 512> page) override { return read(page); }
  platform::DeviceResult ataEnableDisableOperations(bool) override {
    registry_.calls.push_back("enable");
    return 0;
  }
  platform::DeviceResult ataReadLogAtAddress(std::uint32_t address, std::span<std::uint8_t> buffer) override {
    registry_.calls.push_back("log:" + std::to_string(address) + ":" + std::to_string(buffer.size()));
    if (device_.logResult != 0) return device_.logResult;
    std::copy_n(device_.statistics.begin(), std::min(buffer.size(), device_.statistics.size()), buffer.begin());
    return 0;
  }

 private:
  platform::DeviceResult read(std::span<std::uint8_t, 512> page) {
    const std::size_t attempt = reads_++;
    registry_.calls.push_back("read");
    platform::DeviceResult result = attempt < device_.readResults.size() ? device_.readResults[attempt] : 0;
    if (result.ok()) std::copy(device_.page.begin(), device_.page.end(), page.begin());
    return result;
  }
  FakeRegistry& registry_;
  FakeDevice& device_;
  std::size_t reads_ = 0;
};

class FakePlugIn final : public platform::PlugIn {
 public:
  FakePlugIn(FakeRegistry& registry, FakeDevice& device) : registry_(registry), device_(device) { ++registry_.livePlugIns; }
  ~FakePlugIn() override { --registry_.livePlugIns; }
  bool hasFunctionTable() const override { return !device_.noFunctionTable; }
  platform::KernReturn queryInterface(const platform::Uuid&, std::unique_ptr<platform::SMARTUserClient>& result) override {
    if (device_.queryResult != 0) {
      if (device_.interfaceWithFailure) result = std::make_unique<FakeClient>(registry_, device_);
      return device_.queryResult;
    }
    if (!device_.noInterface) result = std::make_unique<FakeClient>(registry_, device_);
    return 0;
  }

 private:
  FakeRegistry& registry_;
  FakeDevice& device_;
};

inline platform::KernReturn FakeRegistry::createPlugInInterface(const platform::Service& service,
                                                                const platform::Uuid& type, const platform::Uuid&,
                                                                std::unique_ptr<platform::PlugIn>& plugIn) {
  FakeDevice& d = devices_.at(nameOf(service));
  calls.push_back(type == VelmoraSMARTUtility::kIONVMeSMARTUserClientTypeID ? "create:nvme" : "create:ata");
  if (d.createResult != 0) {
    if (d.plugInWithFailure) plugIn = std::make_unique<FakePlugIn>(*this, d);
    return d.createResult;
  }
  if (!d.noPlugIn) plugIn = std::make_unique<FakePlugIn>(*this, d);
  return 0;
}

}  // namespace velmora::test
