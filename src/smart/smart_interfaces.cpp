#include "smart/smart_interfaces.hpp"

#include <array>
#include <vector>

#include "smart/smart_records.hpp"
#include "velmora/smart/smart_reader.hpp"

namespace velmora::VelmoraSMARTUtility {

const platform::Uuid kNVMeUserClientTypeUUID = {0xAA, 0x0F, 0xA6, 0xF9, 0xC2, 0xD6, 0x45, 0x7F,
                                                0xB1, 0x0B, 0x59, 0xA1, 0x32, 0x53, 0x29, 0x2F};
const platform::Uuid kNVMeInterfaceUUID = {0xCC, 0xD1, 0xDB, 0x19, 0xFD, 0x9A, 0x4D, 0xAF,
                                           0xBF, 0x95, 0x12, 0x45, 0x4B, 0x23, 0x0A, 0xB6};
const platform::Uuid kATAUserClientTypeUUID = {0x24, 0x51, 0x4B, 0x7A, 0x28, 0x04, 0x11, 0xD6,
                                               0x8A, 0x02, 0x00, 0x30, 0x65, 0x70, 0x48, 0x66};
const platform::Uuid kATAInterfaceUUID = {0x08, 0xAB, 0xE2, 0x1C, 0x20, 0xD4, 0x11, 0xD6,
                                          0x8D, 0xF6, 0x00, 0x03, 0x93, 0x5A, 0x76, 0xB2};
const platform::Uuid kPlugInInterfaceUUID = {0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4,
                                             0x91, 0xD4, 0x00, 0x50, 0xE4, 0xC6, 0x42, 0x6F};

cloud::DriveHealthSnapshot SMARTDataInterface::readSnapshot() {
  cloud::SMARTData data = readSMARTData();
  cloud::DriveHealthSnapshot snapshot;
  snapshot.set_snapshotdate(iso8601UTC(std::chrono::system_clock::now()));
  snapshot.set_method(method());
  *snapshot.mutable_healthdata() = std::move(data);
  return snapshot;
}

OpenedUserClient::OpenedUserClient(const platform::Service& service, const Kind& kind) {
  platform::DeviceRegistry& registry = service.registry();
  if (registry.booleanProperty(service, kind.capabilityKey) != true) {
    throw SMARTError(kind.nvme ? SMARTError::Case::diskNotNVMeSMARTCapable : SMARTError::Case::diskNotATASmartCapable);
  }
  // Whatever is handed back with a failure is released by these owners.
  std::unique_ptr<platform::PlugIn> plugIn;
  const platform::KernReturn created =
      registry.createPlugInInterface(service, kind.userClientType, kPlugInInterfaceUUID, plugIn);
  if (created != platform::kKernSuccess) throw SMARTError::failedToCreatePluginInterface(created);
  if (!plugIn) throw SMARTError::failedToCreatePluginInterface(0);
  if (!plugIn->hasFunctionTable()) throw SMARTError::failedToQuerySMARTInterface(platform::kKernNotFound);

  std::unique_ptr<platform::SMARTUserClient> smart;
  const platform::KernReturn queried = plugIn->queryInterface(kind.interfaceID, smart);
  if (queried != platform::kKernSuccess) throw SMARTError::failedToQuerySMARTInterface(queried);
  if (!smart) throw SMARTError::failedToQuerySMARTInterface(0);

  disk_ = service.retained();
  pluginInterface_ = std::move(plugIn);
  smartInterface_ = std::move(smart);
}

platform::SMARTUserClient& OpenedUserClient::smartInterface() const {
  if (!smartInterface_ || !smartInterface_->hasFunctionTable()) {
    throw SMARTError(SMARTError::Case::failedToGetSMARTInterface);
  }
  return *smartInterface_;
}

OpenedUserClient::~OpenedUserClient() {
  // In this order: the SMART interface, the plug-in, the device.
  smartInterface_.reset();
  pluginInterface_.reset();
}

NVMeSMARTInterface::NVMeSMARTInterface(const platform::Service& service)
    : OpenedUserClient(service, {"NVMe SMART Capable", kNVMeUserClientTypeUUID, kNVMeInterfaceUUID, true}) {}

cloud::SMARTData NVMeSMARTInterface::readSMARTData() {
  std::array<std::uint8_t, kSMARTPageSize> page{};
  const platform::DeviceResult result = smartInterface().nvmeReadSMARTData(page);
  if (!result.ok()) throw SMARTError::failedToReadSMARTData(result.code, result.deviceStatus);
  return convertNVMeSMARTData(page);
}

ATASMARTInterface::ATASMARTInterface(const platform::Service& service)
    : OpenedUserClient(service, {"SMART Capable", kATAUserClientTypeUUID, kATAInterfaceUUID, false}) {}

cloud::SMARTData ATASMARTInterface::readSMARTData() {
  platform::SMARTUserClient& ata = smartInterface();
  std::array<std::uint8_t, kSMARTPageSize> page{};
  if (!ata.ataReadSMARTData(page).ok()) {
    // SMART operations may be off: enable them and try once more.
    ata.ataEnableDisableOperations(true);
    const platform::DeviceResult retried = ata.ataReadSMARTData(page);
    if (!retried.ok()) throw SMARTError::failedToReadSMARTData(retried.code, retried.deviceStatus);
  }
  // A drive without the Device Statistics log still has its attributes.
  std::vector<std::uint8_t> statistics(kDeviceStatisticsLogSize, 0);
  const bool haveStatistics = ata.ataReadLogAtAddress(4, statistics).ok();
  return convertATASMARTData(page, haveStatistics ? std::optional<std::span<const std::uint8_t>>(statistics)
                                                  : std::nullopt);
}

}  // namespace velmora::VelmoraSMARTUtility
