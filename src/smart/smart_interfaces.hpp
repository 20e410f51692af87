// The SMART user-client interfaces of one block storage device: NVMe and
// ATA. An object that exists is fully open; it gives back its plug-in, its
// SMART interface and its reference on the device when it is destroyed.
#pragma once

#include <memory>

#include "platform/smart_device.hpp"
#include "velmora/smart/drive_health.hpp"

namespace velmora::VelmoraSMARTUtility {

class SMARTDataInterface {
 public:
  virtual ~SMARTDataInterface() = default;
  virtual cloud::DriveHealthSnapshot::Method method() const = 0;
  // Reads and converts; throws SMARTError.
  virtual cloud::SMARTData readSMARTData() = 0;
  // A dated reading: readSMARTData() with the time (ISO 8601, UTC) and method.
  cloud::DriveHealthSnapshot readSnapshot();
};

// What both interfaces hold: the device, its plug-in and its SMART interface.
class OpenedUserClient : public SMARTDataInterface {
 public:
  ~OpenedUserClient() override;

 protected:
  struct Kind {
    const char* capabilityKey;
    platform::Uuid userClientType;
    platform::Uuid interfaceID;
    bool nvme;
  };
  // Opens the user client, or throws SMARTError having released everything.
  OpenedUserClient(const platform::Service& service, const Kind& kind);

  // The SMART interface to read through; throws failedToGetSMARTInterface
  // when there is none or it came without its function table.
  platform::SMARTUserClient& smartInterface() const;

 private:
  platform::Service disk_;
  std::unique_ptr<platform::PlugIn> pluginInterface_;
  std::unique_ptr<platform::SMARTUserClient> smartInterface_;
};

class NVMeSMARTInterface final : public OpenedUserClient {
 public:
  explicit NVMeSMARTInterface(const platform::Service& service);
  cloud::DriveHealthSnapshot::Method method() const override { return cloud::DriveHealthSnapshot::NVME; }
  cloud::SMARTData readSMARTData() override;
};

class ATASMARTInterface final : public OpenedUserClient {
 public:
  explicit ATASMARTInterface(const platform::Service& service);
  cloud::DriveHealthSnapshot::Method method() const override { return cloud::DriveHealthSnapshot::ATA; }
  cloud::SMARTData readSMARTData() override;
};

// The platform's published identifiers: the NVMe and ATA user-client types
// and SMART interfaces, and the plug-in interface. Named apart from the
// SDK's macros (kIONVMeSMARTUserClientTypeID ...), so that a file may
// include both.
extern const platform::Uuid kNVMeUserClientTypeUUID;
extern const platform::Uuid kNVMeInterfaceUUID;
extern const platform::Uuid kATAUserClientTypeUUID;
extern const platform::Uuid kATAInterfaceUUID;
extern const platform::Uuid kPlugInInterfaceUUID;

}  // namespace velmora::VelmoraSMARTUtility
