// The SMART reader over a registry double whose every call can fail as
// told: each path, and everything given back on each path.
#include "velmora/smart/smart_reader.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "smart/smart_interfaces.hpp"
#include "smart/smart_reader_impl.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

using Case = SMARTError::Case;
using platform::KernReturn;

struct FakeDevice {
  std::string bsdName = "";
  std::string parent = "";  // none
  bool blockStorage = false;
  std::map<std::string, std::optional<bool>> booleans = {};  // nullopt: present but not a boolean
  KernReturn parentResult = 0;
  // Each opening step's result, and whether it hands its object back anyway.
  KernReturn createResult = 0;
  bool createHandsPlugIn = true;
  bool functionTable = true;
  KernReturn queryResult = 0;
  bool queryHandsInterface = true;
  std::array<std::uint8_t, 512> page{};
  std::vector<platform::DeviceResult> readResults = {};  // in order; missing: success
  KernReturn logResult = 0;
  std::vector<std::uint8_t> statistics = std::vector<std::uint8_t>(4096, 0);
};

// Counts what is alive (references, plug-ins, interfaces) and records the
// calls made to devices: "create:nvme", "read", "enable", "log:ADDRESS:SIZE".
class FakeRegistry final : public platform::DeviceRegistry {
 public:
  struct Live {
    int& count;
    explicit Live(int& c) : count(c) { ++count; }
    ~Live() { --count; }
  };

  std::map<std::string, FakeDevice> devices;
  std::map<std::string, std::string> volumes;  // path -> BSD name
  std::vector<std::string> calls;
  int references = 0, plugIns = 0, interfaces = 0;
  std::atomic<int> reading = 0, overlaps = 0;

  void add(FakeDevice device) { devices[device.bsdName] = std::move(device); }

  platform::Service matchBSDName(const std::string& name) override {
    return devices.count(name) ? make(name) : platform::Service{};
  }
  bool conformsToBlockStorageDevice(const platform::Service& service) override { return device(service).blockStorage; }
  KernReturn parentEntry(const platform::Service& service, platform::Service& parent) override {
    const FakeDevice& d = device(service);
    if (d.parentResult == 0 && !d.parent.empty()) parent = make(d.parent);
    return d.parentResult;
  }
  std::optional<bool> booleanProperty(const platform::Service& service, const std::string& key) override {
    const auto found = device(service).booleans.find(key);
    return found == device(service).booleans.end() ? std::nullopt : found->second;
  }
  KernReturn createPlugInInterface(const platform::Service& service, const platform::Uuid& type, const platform::Uuid&,
                                   std::unique_ptr<platform::PlugIn>& plugIn) override;
  std::optional<std::string> bsdNameForVolume(const std::string& path, std::string& error) override {
    if (volumes.count(path)) return volumes[path];
    error = "Failed to create DADisk from volume path";
    return std::nullopt;
  }
  void retain(std::uint64_t id) override {
    ++entries_.at(id).second;
    ++references;
  }
  void release(std::uint64_t id) override {
    --references;
    if (--entries_.at(id).second == 0) entries_.erase(id);
  }

 private:
  FakeDevice& device(const platform::Service& service) { return devices.at(entries_.at(service.id()).first); }
  platform::Service make(const std::string& name) {
    entries_[++lastId_] = {name, 1};
    ++references;
    return platform::Service(shared_from_this(), lastId_);
  }
  std::map<std::uint64_t, std::pair<std::string, int>> entries_;
  std::uint64_t lastId_ = 0;
};

class FakeClient final : public platform::SMARTUserClient {
 public:
  FakeClient(FakeRegistry& registry, FakeDevice& device) : registry_(registry), device_(device), live_(registry.interfaces) {}
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
    if (registry_.reading++ != 0) ++registry_.overlaps;
    std::this_thread::yield();
    registry_.calls.push_back("read");
    const std::size_t attempt = reads_++;
    const platform::DeviceResult result = attempt < device_.readResults.size() ? device_.readResults[attempt] : 0;
    if (result.ok()) std::copy(device_.page.begin(), device_.page.end(), page.begin());
    --registry_.reading;
    return result;
  }
  FakeRegistry& registry_;
  FakeDevice& device_;
  FakeRegistry::Live live_;
  std::size_t reads_ = 0;
};

class FakePlugIn final : public platform::PlugIn {
 public:
  FakePlugIn(FakeRegistry& registry, FakeDevice& device) : registry_(registry), device_(device), live_(registry.plugIns) {}
  bool hasFunctionTable() const override { return device_.functionTable; }
  KernReturn queryInterface(const platform::Uuid&, std::unique_ptr<platform::SMARTUserClient>& result) override {
    if (device_.queryHandsInterface) result = std::make_unique<FakeClient>(registry_, device_);
    return device_.queryResult;
  }

 private:
  FakeRegistry& registry_;
  FakeDevice& device_;
  FakeRegistry::Live live_;
};

KernReturn FakeRegistry::createPlugInInterface(const platform::Service& service, const platform::Uuid& type,
                                               const platform::Uuid&, std::unique_ptr<platform::PlugIn>& plugIn) {
  calls.push_back(type == VelmoraSMARTUtility::kIONVMeSMARTUserClientTypeID ? "create:nvme" : "create:ata");
  FakeDevice& d = device(service);
  if (d.createHandsPlugIn) plugIn = std::make_unique<FakePlugIn>(*this, d);
  return d.createResult;
}

// Disks whose page reads 313 K, as NVMe and as ATA (attribute 194, raw 40 °C).
FakeDevice nvmeDisk(const std::string& name, const std::function<void(FakeDevice&)>& change = nullptr) {
  FakeDevice disk{.bsdName = name, .blockStorage = true, .booleans = {{"NVMe SMART Capable", true}}};
  disk.page[1] = 0x39;
  disk.page[2] = 0x01;
  if (change) change(disk);
  return disk;
}
FakeDevice ataDisk(const std::string& name, const std::function<void(FakeDevice&)>& change = nullptr) {
  FakeDevice disk{.bsdName = name, .blockStorage = true, .booleans = {{"SMART Capable", true}}};
  disk.page[2] = 194;
  disk.page[7] = 40;
  if (change) change(disk);
  return disk;
}
FakeDevice partition(const std::string& name, const std::string& parent, KernReturn parentResult = 0) {
  return FakeDevice{.bsdName = name, .parent = parent, .parentResult = parentResult};
}

struct ReadCase {
  const char* name;
  std::vector<FakeDevice> devices;
  std::optional<Case> error = std::nullopt;  // none: the disk's page, 313 K
  std::string text = "";
  std::vector<std::string> calls = {};  // checked when given
};

// Each read by name: its outcome, the calls it made, and nothing left
// retained, created or queried afterwards.
TEST(SMARTReader, ReadsByNameAndGivesEverythingBackOnEveryPath) {
  const std::string notNVMe = "Failed to read SMART data (NVMe: Disk is not NVMe SMART capable, ATA: ";
  const ReadCase cases[] = {
      {"an NVMe capable disk never tries ATA", {nvmeDisk("d", [](auto& d) { d.booleans["SMART Capable"] = true; })},
       std::nullopt, "", {"create:nvme", "read"}},
      {"an NVMe read failure after opening is itself, with the device's words",
       {nvmeDisk("d", [](auto& d) { d.readResults = {platform::DeviceResult(5, "NVMe status 0x4109")}; })},
       Case::failedToReadSMARTData,
       "Failed to read SMART data (kern_return: 5): Input/output error; the device reported NVMe status 0x4109",
       {"create:nvme", "read"}},
      {"an ATA read is retried once after enabling", {ataDisk("d", [](auto& d) { d.readResults = {5, 0}; })},
       std::nullopt, "", {"create:ata", "read", "enable", "read", "log:4:4096"}},
      {"the retry's failure is the one reported", {ataDisk("d", [](auto& d) { d.readResults = {5, 22}; })},
       Case::failedToReadSMARTData, "Failed to read SMART data (kern_return: 22): Invalid argument"},
      {"a failed statistics log still yields data, without totals",
       {ataDisk("d", [](auto& d) { d.logResult = 5; d.statistics.assign(4096, 0xFF); })}},
      {"neither interface: both reasons", {FakeDevice{.bsdName = "d", .blockStorage = true,
                                                      .booleans = {{"NVMe SMART Capable", std::nullopt}}}},
       Case::failedToReadSMART, notNVMe + "Disk is not ATA SMART capable)"},
      {"creation fails and hands a plug-in back", {ataDisk("d", [](auto& d) { d.createResult = 3; })},
       Case::failedToReadSMART, notNVMe + "Failed to create plugin interface (kern_return: 3): " + kernelReturnText(3) + ")"},
      {"creation succeeds without a plug-in", {ataDisk("d", [](auto& d) { d.createHandsPlugIn = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to create plugin interface (kern_return: 0): Unknown kernel error 0)"},
      {"a plug-in without function table", {ataDisk("d", [](auto& d) { d.functionTable = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to query SMART interface (kern_return: 56): " + kernelReturnText(56) + ")"},
      {"the query fails and hands an interface back", {ataDisk("d", [](auto& d) { d.queryResult = -2147483647; })},
       Case::failedToReadSMART,
       notNVMe + "Failed to query SMART interface (kern_return: -2147483647): Unknown kernel error -2147483647)"},
      {"the query succeeds without an interface", {ataDisk("d", [](auto& d) { d.queryHandsInterface = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to query SMART interface (kern_return: 0): Unknown kernel error 0)"},
      {"the parent walk stops at the first block storage device",
       {nvmeDisk("disk4"), partition("disk4s1", "disk4"), partition("d", "disk4s1")}},
      {"the parent walk ends without a disk", {partition("d", "")}, Case::failedToGetIODisk, "Failed to get IO disk"},
      {"the parent walk fails", {partition("d", "disk4", 5)}, Case::failedToGetParentEntry,
       "Failed to get parent entry (kern_return: 5): Input/output error"},
      {"no such disk", {}, Case::diskNotFound, "Disk not found: d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto registry = std::make_shared<FakeRegistry>();
    for (const auto& device : c.devices) registry->add(device);
    const auto reader = detail::SMARTReaderImpl::makeReader(registry);
    if (c.error) {
      test::expectError<SMARTError>([&] { reader->getDriveSMARTData(std::string("d")); }, *c.error, c.text);
    } else {
      const auto data = reader->getDriveSMARTData(std::string("d"));
      EXPECT_EQ(data.temperature(), 313u);
      EXPECT_EQ(data.totalread(), 0u);
    }
    if (!c.calls.empty()) {
      EXPECT_EQ(registry->calls, c.calls);
    }
    EXPECT_EQ(registry->references, 0);
    EXPECT_EQ(registry->plugIns, 0);
    EXPECT_EQ(registry->interfaces, 0);
  }
}

TEST(SMARTError, OnlyMissingUserClientsAreCompatibilityErrors) {
  const SMARTError notNVMe(Case::diskNotNVMeSMARTCapable);
  const SMARTError notATA(Case::diskNotATASmartCapable);
  EXPECT_TRUE(SMARTError::failedToReadSMART(notNVMe, notATA).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(notNVMe, SMARTError::failedToCreatePluginInterface(1)).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(SMARTError::failedToReadSMARTData(5), notATA).isCompatibilityError());
  EXPECT_FALSE(SMARTError::failedToReadSMART(notNVMe, std::nullopt).isCompatibilityError());
  EXPECT_FALSE(SMARTError::diskNotFound("x").isCompatibilityError());
}

// Retrievers resolve the volume once and look the disk up afresh on each
// request; the snapshot says which method read it.
TEST(SMARTReader, VolumesAndRetrievers) {
  const auto registry = std::make_shared<FakeRegistry>();
  registry->add(ataDisk("disk8"));
  registry->add(nvmeDisk("disk9"));
  registry->volumes = {{"/Volumes/Data", "disk8"}, {"/Volumes/Fast", "disk9"}};
  const auto reader = detail::SMARTReaderImpl::makeReader(registry);
  EXPECT_EQ(reader->getDriveSMARTData(std::filesystem::path("/Volumes/Data")).temperature(), 313u);
  test::expectError<SMARTError>([&] { reader->getDriveSMARTData(std::filesystem::path("/Volumes/None")); },
                                Case::DADiskError, "Disk Arbitration error: Failed to create DADisk from volume path");

  const auto retriever = reader->smartDataRetriever("/Volumes/Data");
  EXPECT_EQ(retriever->bsdName(), "disk8");
  const auto snapshot = retriever->getSnapshot().get();
  EXPECT_EQ(snapshot.method(), cloud::DriveHealthSnapshot::ATA);
  EXPECT_EQ(snapshot.healthdata().temperature(), 313u);
  EXPECT_EQ(reader->smartDataRetriever("/Volumes/Fast")->getSnapshot().get().method(), cloud::DriveHealthSnapshot::NVME);
  registry->devices["disk8"].booleans.clear();
  EXPECT_THROW(retriever->getSMARTData().get(), SMARTError);
  EXPECT_EQ(registry->references, 0);
}

TEST(SMARTReader, RequestsFromManyThreadsRunOneAtATime) {
  const auto registry = std::make_shared<FakeRegistry>();
  registry->add(nvmeDisk("disk0"));
  const auto reader = detail::SMARTReaderImpl::makeReader(registry);
  const auto retriever = reader->smartDataRetrieverForBSDName("disk0");
  std::vector<std::future<cloud::SMARTData>> results[4];
  std::vector<std::thread> threads;
  for (auto& mine : results) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) mine.push_back(retriever->getSMARTData());
      EXPECT_EQ(reader->getDriveSMARTData(std::string("disk0")).temperature(), 313u);
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& mine : results) {
    for (auto& result : mine) EXPECT_EQ(result.get().temperature(), 313u);
  }
  EXPECT_EQ(registry->overlaps, 0);
}

}  // namespace
}  // namespace velmora
