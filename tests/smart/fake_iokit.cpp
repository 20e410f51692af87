#include "smart/fake_iokit.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/storage/ata/ATASMARTLib.h>
#include <IOKit/storage/nvme/NVMeSMARTLibExternal.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <thread>

namespace velmora::fake_iokit {
namespace {

// The published identifiers, as text.
const std::string kNVMeUserClientType = "AA0FA6F9-C2D6-457F-B10B-59A13253292F";
const std::string kNVMeInterface = "CCD1DB19-FD9A-4DAF-BF95-12454B230AB6";
const std::string kATAUserClientType = "24514B7A-2804-11D6-8A02-003065704866";
const std::string kATAInterface = "08ABE21C-20D4-11D6-8DF6-0003935A76B2";
const std::string kPlugInInterface = "C244E858-109C-11D4-91D4-0050E4C6426F";

struct Kind {
  enum : unsigned { string = 1, url = 2, boolean = 4, number = 8, dictionary = 16, session = 32, disk = 64, uuid = 128,
                    plugIn = 256, nvme = 512, ata = 1024 };
};
constexpr unsigned kCF = 255, kCOM = Kind::plugIn | Kind::nvme | Kind::ata;
const char* const kKindNames[] = {"CFString", "CFURL", "CFBoolean", "CFNumber", "matching dictionary", "DASession",
                                  "DADisk", "CFUUID", "plug-in", "NVMe interface", "ATA interface"};

// What is handed out is the address of `table`: a COM-style object is a
// pointer to its table pointer; a CF object's stays null.
struct Object {
  const void* table = nullptr;
  unsigned kind;
  std::string text;  // a string's, a URL's path, a UUID's, a dictionary's or disk's BSD name
  Device* device = nullptr;  // a plug-in's or interface's
  int references = 1;
  bool counted = true, value = false;  // a boolean's value; a plug-in's kind (true: NVMe)
  CFUUIDBytes bytes{};
  std::size_t reads = 0;
};

struct State {
  std::vector<Device> devices;  // registry entry N is devices[N - 1]
  std::vector<int> references;  // on each entry
  std::map<std::string, std::string> volumes;
  std::map<const void*, std::unique_ptr<Object>> live;
  std::vector<std::string> calls, faults;
  std::atomic<int> reading = 0, overlaps = 0;
} state;

void fault(const std::string& what) { state.faults.push_back(what); }

Object* make(unsigned kind, std::string text = {}) {
  auto object = std::make_unique<Object>(Object{.kind = kind, .text = std::move(text)});
  return (state.live[&object->table] = std::move(object)).get();
}
template <typename Ref>
Ref handOut(Object* object) {
  return static_cast<Ref>(static_cast<void*>(&object->table));
}
// The live object at `pointer` if it is one of `kinds`, else a fault.
Object* live(const void* pointer, const char* call, unsigned kinds) {
  const auto found = state.live.find(pointer);
  if (found != state.live.end() && (found->second->kind & kinds) != 0) return found->second.get();
  fault(std::string(call) + ": not an object it takes");
  return nullptr;
}
ULONG unref(Object* object) {
  const int left = --object->references;
  if (left == 0) state.live.erase(&object->table);
  return static_cast<ULONG>(left);
}

std::string text(const CFUUIDBytes& uuid) {
  const auto* bytes = reinterpret_cast<const UInt8*>(&uuid);
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += {"0123456789ABCDEF"[bytes[i] >> 4], "0123456789ABCDEF"[bytes[i] & 15]};
  }
  return out;
}

std::vector<Device>::iterator find(const std::string& name) {
  return std::find_if(state.devices.begin(), state.devices.end(), [&](const Device& d) { return d.name == name; });
}
// A new reference on the entry of `name`.
io_object_t entry(const std::string& name) {
  const auto found = find(name);
  if (found == state.devices.end()) return IO_OBJECT_NULL;
  ++state.references[found - state.devices.begin()];
  return static_cast<io_object_t>(found - state.devices.begin() + 1);
}
// The device of an entry the caller holds a reference on.
Device* device(io_object_t object, const char* call) {
  if (object != IO_OBJECT_NULL && object <= state.devices.size() && state.references[object - 1] > 0) {
    return &state.devices[object - 1];
  }
  fault(std::string(call) + ": not an entry it holds");
  return nullptr;
}

IOReturn read(void* self, unsigned kind, void* data) {
  Object* interface = live(self, "SMARTReadData", kind);
  if (interface == nullptr) return kIOReturnBadArgument;
  if (state.reading++ != 0) ++state.overlaps;
  std::this_thread::yield();
  state.calls.push_back("read");
  const Device& d = *interface->device;
  const std::size_t attempt = interface->reads++;
  const IOReturn result = attempt < d.readResults.size() ? d.readResults[attempt] : kIOReturnSuccess;
  if (result == kIOReturnSuccess) std::memcpy(data, d.page.data(), d.page.size());
  --state.reading;
  return result;
}

HRESULT queryInterface(void* self, REFIID iid, LPVOID* result);

// A table with the IUnknown entries (each checks the object it is given)
// and version 1; the other entries are empty.
template <typename Table>
Table table() {
  Table made{};
  made.QueryInterface = queryInterface;
  made.AddRef = [](void* self) -> ULONG {
    Object* object = live(self, "AddRef", kCOM);
    return object ? ++object->references : 0;
  };
  made.Release = [](void* self) -> ULONG {
    Object* object = live(self, "Release", kCOM);
    return object ? unref(object) : 0;
  };
  made.version = 1;
  return made;
}
const IOCFPlugInInterface plugInTable = table<IOCFPlugInInterface>();
const IONVMeSMARTInterface nvmeTable = [] {
  auto made = table<IONVMeSMARTInterface>();
  made.SMARTReadData = [](void* self, NVMeSMARTData* data) { return read(self, Kind::nvme, data); };
  return made;
}();
const IOATASMARTInterface ataTable = [] {
  auto made = table<IOATASMARTInterface>();
  made.SMARTEnableDisableOperations = [](void* self, Boolean enable) -> IOReturn {
    if (live(self, "SMARTEnableDisableOperations", Kind::ata) == nullptr) return kIOReturnBadArgument;
    state.calls.push_back("enable:" + std::to_string(enable));
    return kIOReturnSuccess;
  };
  made.SMARTReadData = [](void* self, ATASMARTData* data) { return read(self, Kind::ata, data); };
  made.SMARTReadLogAtAddress = [](void* self, UInt32 address, void* buffer, UInt32 size) -> IOReturn {
    const Object* interface = live(self, "SMARTReadLogAtAddress", Kind::ata);
    if (interface == nullptr) return kIOReturnBadArgument;
    state.calls.push_back("log:" + std::to_string(address) + ":" + std::to_string(size));
    const Device& d = *interface->device;
    std::memcpy(buffer, d.statistics.data(), std::min<std::size_t>(size, d.statistics.size()));
    return d.logResult;
  };
  return made;
}();

HRESULT queryInterface(void* self, REFIID iid, LPVOID* result) {
  const Object* plugIn = live(self, "QueryInterface", Kind::plugIn);
  if (plugIn == nullptr) return E_NOINTERFACE;
  if (text(iid) != (plugIn->value ? kNVMeInterface : kATAInterface)) {
    fault("QueryInterface: unknown interface " + text(iid));
    return E_NOINTERFACE;
  }
  const Device& d = *plugIn->device;
  if (d.queryHandsInterface) {
    Object* interface = make(plugIn->value ? Kind::nvme : Kind::ata);
    interface->device = plugIn->device;
    if (d.interfaceTable) interface->table = plugIn->value ? static_cast<const void*>(&nvmeTable) : &ataTable;
    *result = handOut<LPVOID>(interface);
  }
  return d.queryResult;
}

}  // namespace

void reset(std::vector<Device> devices, std::map<std::string, std::string> volumes) {
  state.devices = std::move(devices);
  state.references.assign(state.devices.size(), 0);
  state.volumes = std::move(volumes);
  std::erase_if(state.live, [](const auto& held) { return held.second->kind != Kind::uuid; });
  state.calls.clear();
  state.faults.clear();
  state.overlaps = 0;
}
Device& device(const std::string& name) { return *find(name); }
const std::vector<std::string>& calls() { return state.calls; }
const std::vector<std::string>& faults() { return state.faults; }
int overlappingReads() { return state.overlaps; }

std::string outstanding() {
  std::string left;
  for (const auto& [pointer, object] : state.live) {
    if (object->counted) left += kKindNames[std::countr_zero(object->kind)] + (" " + object->text) + "; ";
  }
  for (std::size_t i = 0; i < state.devices.size(); ++i) {
    if (state.references[i] != 0) left += "entry " + state.devices[i].name + "; ";
  }
  return left;
}

}  // namespace velmora::fake_iokit

using namespace velmora::fake_iokit;

// CoreFoundation.
const CFAllocatorRef kCFAllocatorDefault = nullptr;
CFTypeID CFGetTypeID(CFTypeRef cf) {
  const Object* object = live(cf, "CFGetTypeID", kCF);
  return object ? object->kind : 0;
}
void CFRelease(CFTypeRef cf) {
  Object* object = live(cf, "CFRelease", kCF);
  if (object != nullptr && object->kind == Kind::uuid) fault("CFRelease: a constant UUID");
  if (object != nullptr && object->kind != Kind::uuid) unref(object);
}
CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding encoding) {
  if (encoding != kCFStringEncodingUTF8) fault("CFStringCreateWithCString: not UTF-8");
  return handOut<CFStringRef>(make(Kind::string, text));
}
CFTypeID CFBooleanGetTypeID(void) { return Kind::boolean; }
Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  const Object* object = live(boolean, "CFBooleanGetValue", Kind::boolean);
  return object != nullptr && object->value;
}
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex length, Boolean) {
  return handOut<CFURLRef>(make(Kind::url, std::string(reinterpret_cast<const char*>(buffer), length)));
}
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4, UInt8 b5,
                                         UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12,
                                         UInt8 b13, UInt8 b14, UInt8 b15) {
  const CFUUIDBytes bytes = {b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
  for (const auto& [pointer, object] : state.live) {
    if (object->kind == Kind::uuid && object->text == text(bytes)) return handOut<CFUUIDRef>(object.get());
  }
  Object* made = make(Kind::uuid, text(bytes));
  made->bytes = bytes;
  made->counted = false;  // a constant lives as long as the process
  return handOut<CFUUIDRef>(made);
}
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
  const Object* object = live(uuid, "CFUUIDGetUUIDBytes", Kind::uuid);
  return object ? object->bytes : CFUUIDBytes{};
}

// IOKit.
kern_return_t IOObjectRelease(io_object_t object) {
  if (device(object, "IOObjectRelease") == nullptr) return kIOReturnBadArgument;
  --state.references[object - 1];
  return KERN_SUCCESS;
}
kern_return_t IOObjectRetain(io_object_t object) {
  if (device(object, "IOObjectRetain") == nullptr) return kIOReturnBadArgument;
  ++state.references[object - 1];
  return KERN_SUCCESS;
}
boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className) {
  const Device* d = device(object, "IOObjectConformsTo");
  return d != nullptr && d->blockStorage && std::strcmp(className, "IOBlockStorageDevice") == 0;
}
io_service_t IOServiceGetMatchingService(mach_port_t, CFDictionaryRef matching) {
  Object* dictionary = live(matching, "IOServiceGetMatchingService", Kind::dictionary);
  if (dictionary == nullptr) return IO_OBJECT_NULL;
  const std::string name = dictionary->text;
  unref(dictionary);  // taken over, as documented
  return entry(name);
}
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t object, CFStringRef key, CFAllocatorRef, IOOptionBits) {
  const Device* d = device(object, "IORegistryEntryCreateCFProperty");
  const Object* name = live(key, "IORegistryEntryCreateCFProperty", Kind::string);
  if (d == nullptr || name == nullptr || d->properties.count(name->text) == 0) return nullptr;
  const std::optional<bool> value = d->properties.at(name->text);
  Object* made = make(value ? Kind::boolean : Kind::number);
  made->value = value.value_or(true);
  return handOut<CFTypeRef>(made);
}
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t object, const io_name_t plane,
                                            io_registry_entry_t* parent) {
  const Device* d = device(object, "IORegistryEntryGetParentEntry");
  if (d == nullptr) return kIOReturnBadArgument;
  if (std::strcmp(plane, kIOServicePlane) != 0) fault(std::string("IORegistryEntryGetParentEntry: plane ") + plane);
  if (d->parentResult == KERN_SUCCESS && !d->parent.empty()) *parent = entry(d->parent);
  return d->parentResult;
}
CFMutableDictionaryRef IOBSDNameMatching(mach_port_t, uint32_t, const char* bsdName) {
  return handOut<CFMutableDictionaryRef>(make(Kind::dictionary, bsdName));
}
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType, CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** result, SInt32* score) {
  Device* d = device(service, "IOCreatePlugInInterfaceForService");
  const Object* type = live(pluginType, "IOCreatePlugInInterfaceForService", Kind::uuid);
  const Object* interface = live(interfaceType, "IOCreatePlugInInterfaceForService", Kind::uuid);
  if (d == nullptr || type == nullptr || interface == nullptr) return kIOReturnBadArgument;
  const bool nvme = type->text == kNVMeUserClientType;
  if ((!nvme && type->text != kATAUserClientType) || interface->text != kPlugInInterface) {
    fault("IOCreatePlugInInterfaceForService: unknown " + type->text + " / " + interface->text);
    return kIOReturnUnsupported;
  }
  state.calls.push_back(nvme ? "create:NVMe" : "create:ATA");
  if (d->createHandsPlugIn) {
    Object* plugIn = make(Kind::plugIn);
    plugIn->device = d;
    plugIn->value = nvme;
    plugIn->table = d->plugInTable ? &plugInTable : nullptr;
    plugIn->counted = d->plugInTable;  // without a table nothing can give it back
    *result = handOut<IOCFPlugInInterface**>(plugIn);
  }
  *score = 0;
  return d->createResult;
}
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface) {
  if (live(interface, "IODestroyPlugInInterface", Kind::plugIn) == nullptr) return kIOReturnBadArgument;
  if (*interface == nullptr) {
    fault("IODestroyPlugInInterface: a plug-in without a table");
    return kIOReturnBadArgument;
  }
  (*interface)->Release(interface);  // as Apple's does: through the plug-in's own table
  return KERN_SUCCESS;
}
// Texts for the codes the tests use, and none, as for a code the system
// has no text for, otherwise.
const char* mach_error_string(mach_error_t code) {
  return code == 5 ? "(os/kern) failure" : code == 56 ? "(os/kern) not found" : "";
}

// Disk Arbitration.
DASessionRef DASessionCreate(CFAllocatorRef) { return handOut<DASessionRef>(make(Kind::session)); }
DADiskRef DADiskCreateFromVolumePath(CFAllocatorRef, DASessionRef session, CFURLRef path) {
  const Object* url = live(path, "DADiskCreateFromVolumePath", Kind::url);
  if (live(session, "DADiskCreateFromVolumePath", Kind::session) == nullptr || url == nullptr) return nullptr;
  const auto found = state.volumes.find(url->text);
  return found == state.volumes.end() ? nullptr : handOut<DADiskRef>(make(Kind::disk, found->second));
}
const char* DADiskGetBSDName(DADiskRef disk) {
  const Object* object = live(disk, "DADiskGetBSDName", Kind::disk);
  return object ? object->text.c_str() : nullptr;
}
