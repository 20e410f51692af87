#include "platform/linux/sysfs_device_registry.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/linux/drive_commands.hpp"

namespace velmora::platform {

namespace {

namespace fs = std::filesystem;

// An NVMe namespace's block device: nvme<controller>n<namespace>.
bool isNVMeNamespace(const std::string& name) {
  auto digits = [&](std::size_t from) {
    std::size_t end = from;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    return end;
  };
  if (name.rfind("nvme", 0) != 0) return false;
  const std::size_t controller = digits(4);
  if (controller == 4 || controller >= name.size() || name[controller] != 'n') return false;
  const std::size_t ns = digits(controller + 1);
  return ns > controller + 1 && ns == name.size();
}

// The printable ASCII of a short sysfs attribute (a model or serial text),
// without surrounding blanks; empty when the file is missing. At most
// `limit` bytes are read: these files are a few dozen bytes long.
std::string attributeText(const fs::path& file, std::size_t offset = 0, std::size_t limit = 256) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes(limit, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(limit));
  bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  std::string text;
  for (std::size_t i = offset; i < bytes.size(); ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F) text += bytes[i];
  }
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The SMART interface of one device node, shared with its plug-in.
class LinuxSMARTClient final : public SMARTUserClient {
 public:
  explicit LinuxSMARTClient(std::shared_ptr<Passthrough> device) : device_(std::move(device)) {}
  DeviceResult nvmeReadSMARTData(std::span<std::uint8_t, 512> page) override {
    return nvmeReadSMARTLog(*device_, page);
  }
  DeviceResult ataReadSMARTData(std::span<std::uint8_t, 512> page) override {
    return ataSMARTReadData(*device_, page);
  }
  DeviceResult ataEnableDisableOperations(bool enable) override {
    return ataSMARTEnableOperations(*device_, enable);
  }
  DeviceResult ataReadLogAtAddress(std::uint32_t address, std::span<std::uint8_t> buffer) override {
    return ataSMARTReadLog(*device_, address, buffer);
  }

 private:
  std::shared_ptr<Passthrough> device_;
};

class LinuxPlugIn final : public PlugIn {
 public:
  explicit LinuxPlugIn(std::shared_ptr<Passthrough> device) : device_(std::move(device)) {}
  bool hasFunctionTable() const override { return true; }
  KernReturn queryInterface(const Uuid&, std::unique_ptr<SMARTUserClient>& result) override {
    result = std::make_unique<LinuxSMARTClient>(device_);
    return kKernSuccess;
  }

 private:
  std::shared_ptr<Passthrough> device_;
};

class SysfsRegistry final : public DeviceRegistry {
 public:
  SysfsRegistry(std::string sysRoot, std::string devRoot, PassthroughOpener open)
      : sys_(std::move(sysRoot)), dev_(std::move(devRoot)), open_(std::move(open)) {}

  Service matchBSDName(const std::string& name) override {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return {};
    std::error_code error;
    const fs::path entry = fs::canonical(fs::path(sys_) / "class/block" / name, error);
    if (error) return {};
    return add(entry);
  }

  bool conformsToBlockStorageDevice(const Service& service) override {
    // A whole disk, not a partition of one.
    return !fs::exists(pathOf(service) / "partition");
  }

  KernReturn parentEntry(const Service& service, Service& parent) override {
    const fs::path disk = pathOf(service).parent_path();
    if (!fs::exists(disk / "dev")) return ENOENT;  // not a block device's folder
    parent = add(disk);
    return kKernSuccess;
  }

  std::optional<bool> booleanProperty(const Service& service, const std::string& key) override {
    const std::string name = pathOf(service).filename().string();
    const bool nvme = isNVMeNamespace(name);
    if (key == "NVMe SMART Capable") return nvme;
    if (key != "SMART Capable") return std::nullopt;
    if (nvme) return false;
    // Only a drive that answers IDENTIFY DEVICE has a say; one that cannot
    // be opened or asked is not known to be capable.
    int error = 0;
    const auto device = open_((fs::path(dev_) / name).string(), error);
    if (!device) return std::nullopt;
    std::array<std::uint8_t, 512> identify{};
    if (!ataIdentifyDevice(*device, identify).ok()) return std::nullopt;
    return smartSupported(identify);
  }

  KernReturn createPlugInInterface(const Service& service, const Uuid&, const Uuid&,
                                   std::unique_ptr<PlugIn>& plugIn) override {
    int error = 0;
    std::shared_ptr<Passthrough> device = open_((fs::path(dev_) / pathOf(service).filename()).string(), error);
    if (!device) return error != 0 ? error : EIO;
    plugIn = std::make_unique<LinuxPlugIn>(std::move(device));
    return kKernSuccess;
  }

  std::optional<std::string> bsdNameForVolume(const std::string& path, std::string& error) override {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
      error = "Failed to create DADisk from volume path";
      return std::nullopt;
    }
    const fs::path link = fs::path(sys_) / "dev/block" /
                          (std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev)));
    std::error_code failed;
    const fs::path device = fs::canonical(link, failed);
    if (failed) {
      error = "Failed to get BSD name";
      return std::nullopt;
    }
    return device.filename().string();
  }

  std::vector<DriveDescription> wholeDrives() override {
    std::error_code error;
    fs::directory_iterator entries(fs::path(sys_) / "class/block", error);
    if (error) throw std::system_error(error, "reading " + (fs::path(sys_) / "class/block").string());
    std::vector<DriveDescription> drives;
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
      if (error) throw std::system_error(error, "reading " + (fs::path(sys_) / "class/block").string());
      // Loop, RAM, device-mapper and RAID devices live under devices/virtual.
      const fs::path folder = fs::canonical(entries->path(), error);
      if (error || fs::exists(folder / "partition", error) ||
          folder.string().find("/devices/virtual/") != std::string::npos) {
        error.clear();
        continue;
      }
      std::string serial = attributeText(folder / "device/serial");
      // SCSI and SATA disks: the Unit Serial Number page, text after its 4-byte header.
      if (serial.empty()) serial = attributeText(folder / "device/vpd_pg80", 4);
      drives.push_back({folder.filename().string(), attributeText(folder / "device/model"), std::move(serial)});
    }
    std::sort(drives.begin(), drives.end(), [](const auto& a, const auto& b) { return a.bsdName < b.bsdName; });
    return drives;
  }

  void retain(std::uint64_t id) override {
    std::lock_guard lock(mutex_);
    ++entries_.at(id).references;
  }

  void release(std::uint64_t id) override {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(id);
    if (found != entries_.end() && --found->second.references == 0) entries_.erase(found);
  }

 private:
  struct Entry {
    fs::path path;
    int references;
  };

  Service add(const fs::path& path) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = ++lastId_;
    entries_[id] = Entry{path, 1};
    return Service(shared_from_this(), id);
  }

  fs::path pathOf(const Service& service) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(service.id());
    return found == entries_.end() ? fs::path() : found->second.path;
  }

  std::string sys_;
  std::string dev_;
  PassthroughOpener open_;
  std::mutex mutex_;
  std::map<std::uint64_t, Entry> entries_;
  std::uint64_t lastId_ = 0;
};

}  // namespace

std::shared_ptr<DeviceRegistry> sysfsDeviceRegistry(std::string sysRoot, std::string devRoot, PassthroughOpener open) {
  return std::make_shared<SysfsRegistry>(std::move(sysRoot), std::move(devRoot), std::move(open));
}

std::shared_ptr<DeviceRegistry> systemDeviceRegistry() { return sysfsDeviceRegistry(); }

}  // namespace velmora::platform
