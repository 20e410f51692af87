#include "platform/linux/sysfs_device_registry.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>

#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace velmora::platform {

namespace {

namespace fs = std::filesystem;

// One open device node, shared by a plug-in and its SMART interface.
struct DeviceNode {
  explicit DeviceNode(int descriptor) : fd(descriptor) {}
  ~DeviceNode() { ::close(fd); }
  int fd;
};

KernReturn nvmeGetSMARTLog(int fd, std::span<std::uint8_t, 512> page) {
  nvme_admin_cmd command{};
  command.opcode = 0x02;  // Get Log Page
  command.nsid = 0xFFFFFFFF;
  command.addr = reinterpret_cast<std::uintptr_t>(page.data());
  command.data_len = static_cast<std::uint32_t>(page.size());
  command.cdw10 = ((page.size() / 4 - 1) << 16) | 0x02;  // dwords - 1, log identifier 02h
  const int result = ::ioctl(fd, NVME_IOCTL_ADMIN_CMD, &command);
  if (result < 0) return errno;
  return result == 0 ? kKernSuccess : EIO;  // a positive result is the device's status
}

// One ATA command through SCSI ATA PASS-THROUGH (16).
KernReturn ataCommand(int fd, std::uint8_t command, std::uint8_t features, std::uint8_t count, std::uint8_t lbaLow,
                      std::uint8_t lbaMid, std::uint8_t lbaHigh, std::span<std::uint8_t> data) {
  std::uint8_t cdb[16] = {};
  cdb[0] = 0x85;
  const bool dataIn = !data.empty();
  cdb[1] = dataIn ? (4 << 1) : (3 << 1);  // PIO data-in, or non-data
  cdb[2] = dataIn ? 0x0E : 0x00;          // from the device, length in sectors, in the count field
  cdb[4] = features;
  cdb[6] = count;
  cdb[8] = lbaLow;
  cdb[10] = lbaMid;
  cdb[12] = lbaHigh;
  cdb[14] = command;
  std::uint8_t sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction = dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
  io.cmd_len = sizeof cdb;
  io.cmdp = cdb;
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.dxferp = dataIn ? data.data() : nullptr;
  io.dxfer_len = static_cast<unsigned>(data.size());
  io.timeout = 10000;
  if (::ioctl(fd, SG_IO, &io) < 0) return errno;
  if (io.status != 0 || io.host_status != 0 || (io.driver_status & ~0x08) != 0) return EIO;
  return kKernSuccess;
}

constexpr std::uint8_t kSMART = 0xB0, kSMARTMid = 0x4F, kSMARTHigh = 0xC2;

class LinuxSMARTClient final : public SMARTUserClient {
 public:
  explicit LinuxSMARTClient(std::shared_ptr<DeviceNode> node) : node_(std::move(node)) {}
  KernReturn nvmeReadSMARTData(std::span<std::uint8_t, 512> page) override { return nvmeGetSMARTLog(node_->fd, page); }
  KernReturn ataReadSMARTData(std::span<std::uint8_t, 512> page) override {
    return ataCommand(node_->fd, kSMART, 0xD0, 1, 0, kSMARTMid, kSMARTHigh, page);
  }
  KernReturn ataEnableDisableOperations(bool enable) override {
    return ataCommand(node_->fd, kSMART, enable ? 0xD8 : 0xD9, 0, 0, kSMARTMid, kSMARTHigh, {});
  }
  KernReturn ataReadLogAtAddress(std::uint32_t address, std::span<std::uint8_t> buffer) override {
    if (buffer.size() % 512 != 0 || buffer.size() / 512 > 255 || address > 255) return EINVAL;
    return ataCommand(node_->fd, kSMART, 0xD5, static_cast<std::uint8_t>(buffer.size() / 512),
                      static_cast<std::uint8_t>(address), kSMARTMid, kSMARTHigh, buffer);
  }

 private:
  std::shared_ptr<DeviceNode> node_;
};

class LinuxPlugIn final : public PlugIn {
 public:
  explicit LinuxPlugIn(std::shared_ptr<DeviceNode> node) : node_(std::move(node)) {}
  bool hasFunctionTable() const override { return true; }
  KernReturn queryInterface(const Uuid&, std::unique_ptr<SMARTUserClient>& result) override {
    result = std::make_unique<LinuxSMARTClient>(node_);
    return kKernSuccess;
  }

 private:
  std::shared_ptr<DeviceNode> node_;
};

class SysfsRegistry final : public DeviceRegistry {
 public:
  SysfsRegistry(std::string sysRoot, std::string devRoot) : sys_(std::move(sysRoot)), dev_(std::move(devRoot)) {}

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
    static const std::regex nvmeNamespace("nvme[0-9]+n[0-9]+");
    const bool nvme = std::regex_match(name, nvmeNamespace);
    if (key == "NVMe SMART Capable") return nvme;
    if (key == "SMART Capable") {
      if (nvme) return false;
      const int fd = ::open((fs::path(dev_) / name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) return false;
      std::uint8_t identify[512];
      const bool answers = ataCommand(fd, 0xEC, 0, 1, 0, 0, 0, identify) == kKernSuccess;
      ::close(fd);
      return answers;
    }
    return std::nullopt;
  }

  KernReturn createPlugInInterface(const Service& service, const Uuid&, const Uuid&,
                                   std::unique_ptr<PlugIn>& plugIn) override {
    const fs::path node = fs::path(dev_) / pathOf(service).filename();
    const int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    plugIn = std::make_unique<LinuxPlugIn>(std::make_shared<DeviceNode>(fd));
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
  std::mutex mutex_;
  std::map<std::uint64_t, Entry> entries_;
  std::uint64_t lastId_ = 0;
};

}  // namespace

std::shared_ptr<DeviceRegistry> sysfsDeviceRegistry(std::string sysRoot, std::string devRoot) {
  return std::make_shared<SysfsRegistry>(std::move(sysRoot), std::move(devRoot));
}

std::shared_ptr<DeviceRegistry> systemDeviceRegistry() { return sysfsDeviceRegistry(); }

}  // namespace velmora::platform
