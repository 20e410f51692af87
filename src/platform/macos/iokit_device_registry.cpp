// The device registry of macOS: IOKit's service plane, the NVMe and ATA
// SMART user clients through their CFPlugIn interfaces, and Disk
// Arbitration for the disk behind a volume. Every decision about what to
// open and what a result means is made above platform::DeviceRegistry;
// this file only passes calls and results through and releases what it
// took.
//
// The whole drives are the IOMedia objects marked "Whole" whose
// grandparent (above their block storage driver) is a block storage device
// (NVMe, AHCI/ATA, SCSI, USB): that leaves out partitions and the disks
// that APFS synthesizes from a container (above them is a partition
// scheme), and the disk images (a device whose "Protocol Characteristics"
// say "Virtual Interface"). Model and serial come from the device's
// "Device Characteristics" ("Product Name", "Serial Number"), without the
// spaces ATA pads them with.
#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/storage/ata/ATASMARTLib.h>
#include <IOKit/storage/nvme/NVMeSMARTLibExternal.h>
#include <mach/mach_error.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/errno/errno_calls.hpp"
#include "platform/macos/iokit_handles.hpp"
#include "platform/smart_device.hpp"

namespace velmora::platform {

namespace {

using macos::CFHandle;
using macos::InterfaceHandle;
using macos::PlugInHandle;

// The default main port (kIOMainPortDefault, kIOMasterPortDefault before
// macOS 12), spelled so that it builds with either SDK.
constexpr mach_port_t kDefaultPort = MACH_PORT_NULL;

static_assert(sizeof(NVMeSMARTData) == 512, "the NVMe SMART / Health log page");
static_assert(sizeof(ATASMARTData) == 512, "the ATA SMART data page");

io_object_t object(const Service& service) { return static_cast<io_object_t>(service.id()); }

// A constant CFUUID lives for the whole process; it is never released.
CFUUIDRef constantUuid(const Uuid& b) {
  return CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9],
                                        b[10], b[11], b[12], b[13], b[14], b[15]);
}

CFHandle<CFStringRef> cfString(const char* text) {
  return CFHandle<CFStringRef>(CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8));
}

// A CFString's text; empty when `value` is not a string.
std::string stringValue(CFTypeRef value) {
  if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return {};
  const auto string = static_cast<CFStringRef>(value);
  std::vector<char> buffer(
      static_cast<std::size_t>(CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8)) + 1);
  if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()), kCFStringEncodingUTF8)) return {};
  return buffer.data();
}

std::string trimmed(std::string_view text) {
  const auto begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(' ') - begin + 1));
}

// The property `key` of `entry`, owned; null when it is missing.
CFHandle<CFTypeRef> property(io_registry_entry_t entry, const char* key) {
  const auto name = cfString(key);
  if (!name) return nullptr;
  return CFHandle<CFTypeRef>(IORegistryEntryCreateCFProperty(entry, name.get(), kCFAllocatorDefault, 0));
}

// The text under `key` in a dictionary `value`; empty when either is missing
// or not of its type.
std::string dictionaryText(CFTypeRef value, const char* key) {
  if (value == nullptr || CFGetTypeID(value) != CFDictionaryGetTypeID()) return {};
  const auto name = cfString(key);
  if (!name) return {};
  // Got, not copied: the dictionary keeps it.
  return stringValue(CFDictionaryGetValue(static_cast<CFDictionaryRef>(value), name.get()));
}

macos::IOObject parentOf(io_registry_entry_t entry) {
  io_registry_entry_t parent = IO_OBJECT_NULL;
  if (IORegistryEntryGetParentEntry(entry, kIOServicePlane, &parent) != KERN_SUCCESS) return macos::IOObject();
  return macos::IOObject(parent);
}

bool sameUuid(const Uuid& bytes, CFUUIDRef uuid) {
  const CFUUIDBytes other = CFUUIDGetUUIDBytes(uuid);
  return std::memcmp(bytes.data(), &other, bytes.size()) == 0;
}

// A SMART interface; every entry is called with the interface as its
// object, and a missing table or entry is reported, never called.
template <typename Interface>
class Client : public SMARTUserClient {
 public:
  Client(Interface** interface, IOCFPlugInInterface** plugIn) : interface_(interface, plugIn) {}
  bool hasFunctionTable() const override { return interface_.table() != nullptr; }
  DeviceResult nvmeReadSMARTData(std::span<std::uint8_t, 512>) override { return kIOReturnUnsupported; }
  DeviceResult ataReadSMARTData(std::span<std::uint8_t, 512>) override { return kIOReturnUnsupported; }
  DeviceResult ataEnableDisableOperations(bool) override { return kIOReturnUnsupported; }
  DeviceResult ataReadLogAtAddress(std::uint32_t, std::span<std::uint8_t>) override { return kIOReturnUnsupported; }

 protected:
  template <auto Entry, typename... Arguments>
  IOReturn call(Arguments... arguments) {
    const Interface* table = interface_.table();
    if (table == nullptr || table->*Entry == nullptr) return kIOReturnUnsupported;
    return (table->*Entry)(interface_.get(), arguments...);
  }

 private:
  InterfaceHandle<Interface> interface_;
};

class NVMeClient final : public Client<IONVMeSMARTInterface> {
 public:
  using Client::Client;
  DeviceResult nvmeReadSMARTData(std::span<std::uint8_t, 512> page) override {
    NVMeSMARTData record;
    std::memset(&record, 0, sizeof record);
    const IOReturn result = call<&IONVMeSMARTInterface::SMARTReadData>(&record);
    std::memcpy(page.data(), &record, page.size());
    return result;
  }
};

class ATAClient final : public Client<IOATASMARTInterface> {
 public:
  using Client::Client;
  DeviceResult ataReadSMARTData(std::span<std::uint8_t, 512> page) override {
    // The caller's page may hold a first attempt: read into a copy of it.
    ATASMARTData record;
    std::memcpy(&record, page.data(), page.size());
    const IOReturn result = call<&IOATASMARTInterface::SMARTReadData>(&record);
    std::memcpy(page.data(), &record, page.size());
    return result;
  }
  DeviceResult ataEnableDisableOperations(bool enable) override {
    return call<&IOATASMARTInterface::SMARTEnableDisableOperations>(static_cast<Boolean>(enable));
  }
  DeviceResult ataReadLogAtAddress(std::uint32_t address, std::span<std::uint8_t> buffer) override {
    return call<&IOATASMARTInterface::SMARTReadLogAtAddress>(static_cast<UInt32>(address),
                                                             static_cast<void*>(buffer.data()),
                                                             static_cast<UInt32>(buffer.size()));
  }
};

class IOKitPlugIn final : public PlugIn {
 public:
  explicit IOKitPlugIn(PlugInHandle plugIn) : plugIn_(std::move(plugIn)) {}
  bool hasFunctionTable() const override { return *plugIn_ != nullptr; }

  KernReturn queryInterface(const Uuid& interfaceID, std::unique_ptr<SMARTUserClient>& result) override {
    // Only the two SMART interfaces have a table this file knows how to call.
    const bool nvme = sameUuid(interfaceID, kIONVMeSMARTInterfaceID);
    if (!nvme && !sameUuid(interfaceID, kIOATASMARTInterfaceID)) return kIOReturnUnsupported;
    if (*plugIn_ == nullptr || (*plugIn_)->QueryInterface == nullptr) return kIOReturnUnsupported;
    LPVOID interface = nullptr;
    const HRESULT code = (*plugIn_)->QueryInterface(plugIn_.get(), CFUUIDGetUUIDBytes(constantUuid(interfaceID)), &interface);
    if (interface != nullptr) {
      if (nvme) {
        result = std::make_unique<NVMeClient>(static_cast<IONVMeSMARTInterface**>(interface), plugIn_.get());
      } else {
        result = std::make_unique<ATAClient>(static_cast<IOATASMARTInterface**>(interface), plugIn_.get());
      }
    }
    return static_cast<KernReturn>(code);
  }

 private:
  PlugInHandle plugIn_;
};

class IOKitRegistry final : public DeviceRegistry {
 public:
  Service matchBSDName(const std::string& bsdName) override {
    CFMutableDictionaryRef matching = IOBSDNameMatching(kDefaultPort, 0, bsdName.c_str());
    if (matching == nullptr) return {};
    // IOServiceGetMatchingService takes the dictionary over.
    const io_service_t service = IOServiceGetMatchingService(kDefaultPort, matching);
    if (service == IO_OBJECT_NULL) return {};
    return Service(shared_from_this(), service);
  }

  bool conformsToBlockStorageDevice(const Service& service) override {
    return IOObjectConformsTo(object(service), "IOBlockStorageDevice") != 0;
  }

  KernReturn parentEntry(const Service& service, Service& parent) override {
    io_registry_entry_t entry = IO_OBJECT_NULL;
    const kern_return_t result = IORegistryEntryGetParentEntry(object(service), kIOServicePlane, &entry);
    macos::IOObject owned(entry);
    if (result == KERN_SUCCESS && owned.get() != IO_OBJECT_NULL) parent = Service(shared_from_this(), owned.release());
    return result;
  }

  std::optional<bool> booleanProperty(const Service& service, const std::string& key) override {
    const CFHandle<CFStringRef> name(CFStringCreateWithCString(kCFAllocatorDefault, key.c_str(), kCFStringEncodingUTF8));
    if (!name) return std::nullopt;
    const CFHandle<CFTypeRef> value(IORegistryEntryCreateCFProperty(object(service), name.get(), kCFAllocatorDefault, 0));
    if (!value || CFGetTypeID(value.get()) != CFBooleanGetTypeID()) return std::nullopt;
    return CFBooleanGetValue(static_cast<CFBooleanRef>(value.get())) != 0;
  }

  KernReturn createPlugInInterface(const Service& service, const Uuid& pluginType, const Uuid& interfaceType,
                                   std::unique_ptr<PlugIn>& plugIn) override {
    IOCFPlugInInterface** created = nullptr;
    SInt32 score = 0;
    const kern_return_t result = IOCreatePlugInInterfaceForService(object(service), constantUuid(pluginType),
                                                                   constantUuid(interfaceType), &created, &score);
    if (created != nullptr) plugIn = std::make_unique<IOKitPlugIn>(PlugInHandle(created));
    return result;
  }

  std::optional<std::string> bsdNameForVolume(const std::string& path, std::string& error) override {
    const CFHandle<DASessionRef> session(DASessionCreate(kCFAllocatorDefault));
    if (!session) {
      error = "Failed to create session";
      return std::nullopt;
    }
    const CFHandle<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, static_cast<const UInt8*>(static_cast<const void*>(path.data())),
        static_cast<CFIndex>(path.size()), true));
    const CFHandle<DADiskRef> disk(url ? DADiskCreateFromVolumePath(kCFAllocatorDefault, session.get(), url.get())
                                       : nullptr);
    if (!disk) {
      error = "Failed to create DADisk from volume path";
      return std::nullopt;
    }
    const char* name = DADiskGetBSDName(disk.get());
    if (name == nullptr) {
      error = "Failed to get BSD name";
      return std::nullopt;
    }
    return std::string(name);
  }

  std::vector<DriveDescription> wholeDrives() override {
    io_iterator_t found = IO_OBJECT_NULL;
    // IOServiceGetMatchingServices takes the dictionary over.
    const kern_return_t result = IOServiceGetMatchingServices(kDefaultPort, IOServiceMatching("IOMedia"), &found);
    if (result != KERN_SUCCESS) {
      throwErrno(EIO, "listing drives: " + systemResultText(result).value_or(std::to_string(result)));
    }
    const macos::IOObject iterator(found);
    std::vector<DriveDescription> drives;
    for (macos::IOObject media(IOIteratorNext(iterator.get())); media.get() != IO_OBJECT_NULL;
         media = macos::IOObject(IOIteratorNext(iterator.get()))) {
      const auto whole = property(media.get(), "Whole");
      if (!whole || CFGetTypeID(whole.get()) != CFBooleanGetTypeID() ||
          !CFBooleanGetValue(static_cast<CFBooleanRef>(whole.get()))) {
        continue;
      }
      const std::string bsdName = stringValue(property(media.get(), "BSD Name").get());
      if (bsdName.empty()) continue;
      const macos::IOObject driver = parentOf(media.get());
      if (driver.get() == IO_OBJECT_NULL) continue;
      const macos::IOObject device = parentOf(driver.get());
      if (device.get() == IO_OBJECT_NULL || IOObjectConformsTo(device.get(), "IOBlockStorageDevice") == 0) continue;
      if (dictionaryText(property(device.get(), "Protocol Characteristics").get(), "Physical Interconnect") ==
          "Virtual Interface") {
        continue;
      }
      const auto characteristics = property(device.get(), "Device Characteristics");
      drives.push_back({bsdName, trimmed(dictionaryText(characteristics.get(), "Product Name")),
                        trimmed(dictionaryText(characteristics.get(), "Serial Number"))});
    }
    std::sort(drives.begin(), drives.end(), [](const auto& a, const auto& b) { return a.bsdName < b.bsdName; });
    return drives;
  }

  void retain(std::uint64_t id) override { IOObjectRetain(static_cast<io_object_t>(id)); }
  void release(std::uint64_t id) override { IOObjectRelease(static_cast<io_object_t>(id)); }
};

}  // namespace

std::optional<std::string> systemResultText(KernReturn code) {
  const char* text = mach_error_string(code);
  if (text == nullptr || *text == '\0') return std::nullopt;
  return std::string(text);
}

std::shared_ptr<DeviceRegistry> systemDeviceRegistry() { return std::make_shared<IOKitRegistry>(); }

}  // namespace velmora::platform
