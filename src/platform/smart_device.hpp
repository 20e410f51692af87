// The storage driver registry and SMART user clients, as the drive-health
// reader needs them. Shaped after the platform's registry (matching by BSD
// name, the "IOBlockStorageDevice" class, parent entries, boolean
// properties) and its plug-in mechanism (a plug-in created for a service
// and a SMART interface queried from it), with results as kernel result
// codes (0 for success).
//
// Ownership follows the platform's: a Service value holds one reference on
// its registry entry and gives it back when destroyed; a plug-in and a SMART
// interface are released when their unique_ptr lets go, the interface before
// the plug-in it came from.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/errno/errno_calls.hpp"

namespace velmora::platform {

using KernReturn = std::int32_t;
constexpr KernReturn kKernSuccess = 0;
constexpr KernReturn kKernNotFound = 56;

using Uuid = std::array<std::uint8_t, 16>;

class DeviceRegistry;

// The outcome of one command sent to a drive: the platform's result code
// and, when the drive itself failed or refused the command, the drive's own
// status in words (an NVMe status field, ATA status and error registers,
// SCSI sense). The two are kept apart: the code says what the platform saw,
// the status what the device said.
struct DeviceResult {
  DeviceResult(KernReturn result = kKernSuccess) : code(result) {}  // NOLINT: a plain code converts
  DeviceResult(KernReturn result, std::string status) : code(result), deviceStatus(std::move(status)) {}
  bool ok() const noexcept { return code == kKernSuccess; }

  KernReturn code;
  std::string deviceStatus;  // empty when the device reported nothing
};

// One reference on a registry entry.
class Service {
 public:
  Service() = default;
  Service(std::shared_ptr<DeviceRegistry> registry, std::uint64_t id) : registry_(std::move(registry)), id_(id) {}
  Service(Service&& other) noexcept : registry_(std::move(other.registry_)), id_(std::exchange(other.id_, 0)) {}
  Service& operator=(Service&& other) noexcept;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;
  ~Service();

  explicit operator bool() const noexcept { return id_ != 0; }
  std::uint64_t id() const noexcept { return id_; }
  DeviceRegistry& registry() const noexcept { return *registry_; }
  // A second reference on the same entry.
  Service retained() const;

 private:
  std::shared_ptr<DeviceRegistry> registry_;
  std::uint64_t id_ = 0;
};

// The SMART interface of a device's user client (NVMe or ATA).
class SMARTUserClient {
 public:
  virtual ~SMARTUserClient() = default;  // the IUnknown release
  // False when the interface came without its function table: none of the
  // operations below can reach the device.
  virtual bool hasFunctionTable() const { return true; }
  // Fills the 512-byte NVMe SMART / Health Information log page.
  virtual DeviceResult nvmeReadSMARTData(std::span<std::uint8_t, 512> page) = 0;
  // Fills the 512-byte ATA SMART data page.
  virtual DeviceResult ataReadSMARTData(std::span<std::uint8_t, 512> page) = 0;
  virtual DeviceResult ataEnableDisableOperations(bool enable) = 0;
  virtual DeviceResult ataReadLogAtAddress(std::uint32_t address, std::span<std::uint8_t> buffer) = 0;
};

// A plug-in created for a service.
class PlugIn {
 public:
  virtual ~PlugIn() = default;  // IODestroyPlugInInterface
  // False when the plug-in came without its function table.
  virtual bool hasFunctionTable() const = 0;
  // Asks for the SMART interface `interfaceID`; `result` may be set even
  // when the code is not success.
  virtual KernReturn queryInterface(const Uuid& interfaceID, std::unique_ptr<SMARTUserClient>& result) = 0;
};

// A whole drive of the machine, by its BSD name, with what the platform
// tells of it; an empty model or serial is one the platform did not give.
struct DriveDescription {
  std::string bsdName;
  std::string model;
  std::string serial;
};

class DeviceRegistry : public std::enable_shared_from_this<DeviceRegistry> {
 public:
  virtual ~DeviceRegistry() = default;

  // The entry whose BSD name is `bsdName`; an empty Service when none.
  virtual Service matchBSDName(const std::string& bsdName) = 0;
  virtual bool conformsToBlockStorageDevice(const Service& service) = 0;
  // The parent in the service plane; `parent` may stay empty on success.
  virtual KernReturn parentEntry(const Service& service, Service& parent) = 0;
  // A boolean property; nothing when it is missing or not a boolean.
  virtual std::optional<bool> booleanProperty(const Service& service, const std::string& key) = 0;
  // IOCreatePlugInInterfaceForService; `plugIn` may be set even on failure.
  virtual KernReturn createPlugInInterface(const Service& service, const Uuid& pluginType, const Uuid& interfaceType,
                                           std::unique_ptr<PlugIn>& plugIn) = 0;

  // The BSD name of the disk holding the mounted volume at `path`; nothing,
  // with the reason in `error`, when it cannot be found.
  virtual std::optional<std::string> bsdNameForVolume(const std::string& path, std::string& error) = 0;

  // The machine's whole drives (no partitions, no virtual devices), sorted
  // by name. Throws std::system_error: with the platform's errno when the
  // registry cannot be read, ENOTSUP where no backend lists drives.
  virtual std::vector<DriveDescription> wholeDrives() {
    throwErrno(ENOTSUP, "listing drives");
  }

  // Reference counting of entries, called by Service.
  virtual void retain(std::uint64_t id) = 0;
  virtual void release(std::uint64_t id) = 0;
};

// The system's text for a result code, when it has one (strerror on Linux,
// mach_error_string on macOS); defined by each backend.
std::optional<std::string> systemResultText(KernReturn code);

// The registry of this machine.
std::shared_ptr<DeviceRegistry> systemDeviceRegistry();

}  // namespace velmora::platform
