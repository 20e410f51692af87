// The SMART reader over the unmodified macOS backend, linked against a fake
// of the IOKit, CoreFoundation and Disk Arbitration calls it makes. The fake
// is written from Apple's documentation of those calls and declared by the
// backend's SDK stand-in: registry entries with properties, volumes, and
// plug-ins and SMART interfaces whose tables check the object each entry is
// called with; every call can fail as told, and every reference handed out
// is counted. Not thread-safe: the reader makes every call from its one
// executor (what the overlap count checks).
#include "velmora/smart/smart_reader.hpp"

#include <CoreFoundation/CoreFoundation.h>
#include <DiskArbitration/DiskArbitration.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/storage/ata/ATASMARTLib.h>
#include <IOKit/storage/nvme/NVMeSMARTLibExternal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "smart/smart_reader_impl.hpp"
#include "support/test_support.hpp"

namespace velmora::fake_iokit {

struct Device {
  std::string name;
  std::string parent = "";  // none
  bool blockStorage = true;
  kern_return_t parentResult = 0;
  std::map<std::string, std::optional<bool>> properties = {};  // nullopt: a number, not a boolean
  // Each opening step's result, and what it hands back with it.
  kern_return_t createResult = 0;
  bool createHandsPlugIn = true, plugInTable = true;
  HRESULT queryResult = S_OK;
  bool queryHandsInterface = true, interfaceTable = true;
  std::array<UInt8, 512> page{};
  std::vector<IOReturn> readResults = {};  // in order; missing: success
  IOReturn logResult = 0;
  std::vector<UInt8> statistics = std::vector<UInt8>(4096, 0);
  int references = 0;  // held on its registry entry
  // An IOMedia object (its BSD name is its name; "Whole" among the
  // properties); a device's "Device Characteristics" (product name, serial
  // number) and whether its interconnect is virtual.
  bool media = false;
  std::optional<std::pair<std::string, std::string>> characteristics = std::nullopt;
  bool virtualInterface = false;
};

namespace {

// The published identifiers, as text.
const std::string kNVMeUserClientType = "AA0FA6F9-C2D6-457F-B10B-59A13253292F";
const std::string kNVMeInterface = "CCD1DB19-FD9A-4DAF-BF95-12454B230AB6";
const std::string kATAUserClientType = "24514B7A-2804-11D6-8A02-003065704866";
const std::string kATAInterface = "08ABE21C-20D4-11D6-8DF6-0003935A76B2";
const std::string kPlugInInterface = "C244E858-109C-11D4-91D4-0050E4C6426F";

enum Kind : unsigned { kString = 1, kURL = 2, kBoolean = 4, kNumber = 8, kDictionary = 16, kSession = 32, kDisk = 64,
                      kUUID = 128, kPlugIn = 256, kNVMe = 512, kATA = 1024, kCF = 255, kCOM = kPlugIn | kNVMe | kATA };
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

// Iterators are registry objects too, numbered from here.
constexpr io_object_t kFirstIterator = 1000;
struct Iterator {
  std::size_t next = 0;  // the index of the next device to look at
  int references = 1;
};

struct State {
  std::vector<Device> devices;  // registry entry N is devices[N - 1]
  std::vector<Iterator> iterators;  // iterator kFirstIterator + N is iterators[N]
  kern_return_t matchingResult = KERN_SUCCESS;
  std::map<std::string, std::string> volumes;
  std::map<const void*, std::unique_ptr<Object>> live;
  std::vector<std::string> calls, faults;  // calls: "create:NVMe", "read", "enable:1", "log:ADDRESS:SIZE"
  std::atomic<int> reading = 0, overlaps = 0;
};
std::unique_ptr<State> fake = std::make_unique<State>();

void fault(const std::string& what) { fake->faults.push_back(what); }

Object* make(unsigned kind, std::string text = {}, Device* device = nullptr, bool value = false) {
  auto object = std::make_unique<Object>(
      Object{.kind = kind, .text = std::move(text), .device = device, .references = 1, .counted = true, .value = value});
  return (fake->live[&object->table] = std::move(object)).get();
}
template <typename Ref> Ref handOut(Object* object) { return static_cast<Ref>(static_cast<void*>(&object->table)); }
// The live object at `pointer` if it is one of `kinds`; else, after a
// fault, an empty object of kind 0 that nothing counts.
Object& live(const void* pointer, const char* call, unsigned kinds) {
  static Device noDevice;
  static Object none;
  const auto found = fake->live.find(pointer);
  if (found != fake->live.end() && (found->second->kind & kinds) != 0) return *found->second;
  fault(std::string(call) + ": not an object it takes");
  none = Object{.kind = 0, .text = {}, .device = &noDevice, .references = 2, .counted = false};
  return none;
}
ULONG unref(Object& object) {
  const int left = --object.references;
  if (left == 0) fake->live.erase(&object.table);
  return static_cast<ULONG>(left);
}

std::string text(const CFUUIDBytes& u) {
  char out[37];
  std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", u.byte0,
                u.byte1, u.byte2, u.byte3, u.byte4, u.byte5, u.byte6, u.byte7, u.byte8, u.byte9, u.byte10, u.byte11,
                u.byte12, u.byte13, u.byte14, u.byte15);
  return out;
}
// A new reference on the entry of `name`.
io_object_t entry(const std::string& name) {
  const auto found =
      std::find_if(fake->devices.begin(), fake->devices.end(), [&](const Device& d) { return d.name == name; });
  if (found == fake->devices.end()) return IO_OBJECT_NULL;
  ++found->references;
  return static_cast<io_object_t>(found - fake->devices.begin() + 1);
}
// The device of an entry the caller holds a reference on.
Device* device(io_object_t object, const char* call) {
  const bool held =
      object != IO_OBJECT_NULL && object <= fake->devices.size() && fake->devices[object - 1].references > 0;
  if (!held) fault(std::string(call) + ": not an entry it holds");
  return held ? &fake->devices[object - 1] : nullptr;
}

IOReturn read(void* self, unsigned kind, void* data) {
  Object& interface = live(self, "SMARTReadData", kind);
  if (interface.kind == 0) return kIOReturnBadArgument;
  if (fake->reading++ != 0) ++fake->overlaps;
  std::this_thread::yield();
  fake->calls.push_back("read");
  const Device& d = *interface.device;
  const std::size_t attempt = interface.reads++;
  const IOReturn result = attempt < d.readResults.size() ? d.readResults[attempt] : kIOReturnSuccess;
  if (result == kIOReturnSuccess) std::memcpy(data, d.page.data(), d.page.size());
  --fake->reading;
  return result;
}

HRESULT queryInterface(void* self, REFIID iid, LPVOID* result);
// A table with the IUnknown entries (each checks the object it is given)
// and version 1; the other entries are empty.
template <typename Table>
Table table() {
  Table made{};
  made.QueryInterface = queryInterface;
  made.AddRef = [](void* self) -> ULONG { return ++live(self, "AddRef", kCOM).references; };
  made.Release = [](void* self) { return unref(live(self, "Release", kCOM)); };
  made.version = 1;
  return made;
}
const IOCFPlugInInterface plugInTable = table<IOCFPlugInInterface>();
const IONVMeSMARTInterface nvmeTable = [] {
  auto made = table<IONVMeSMARTInterface>();
  made.SMARTReadData = [](void* self, NVMeSMARTData* data) { return read(self, kNVMe, data); };
  return made;
}();
const IOATASMARTInterface ataTable = [] {
  auto made = table<IOATASMARTInterface>();
  made.SMARTEnableDisableOperations = [](void* self, Boolean enable) -> IOReturn {
    fake->calls.push_back("enable:" + std::to_string(enable));
    return live(self, "SMARTEnableDisableOperations", kATA).kind ? kIOReturnSuccess : kIOReturnBadArgument;
  };
  made.SMARTReadData = [](void* self, ATASMARTData* data) { return read(self, kATA, data); };
  made.SMARTReadLogAtAddress = [](void* self, UInt32 address, void* buffer, UInt32 size) -> IOReturn {
    fake->calls.push_back("log:" + std::to_string(address) + ":" + std::to_string(size));
    const Device& d = *live(self, "SMARTReadLogAtAddress", kATA).device;
    std::memcpy(buffer, d.statistics.data(), std::min<std::size_t>(size, d.statistics.size()));
    return d.logResult;
  };
  return made;
}();

HRESULT queryInterface(void* self, REFIID iid, LPVOID* result) {
  const Object& plugIn = live(self, "QueryInterface", kPlugIn);
  if (plugIn.kind == 0 || text(iid) != (plugIn.value ? kNVMeInterface : kATAInterface)) {
    fault("QueryInterface: unknown interface " + text(iid));
    return E_NOINTERFACE;
  }
  const Device& d = *plugIn.device;
  if (d.queryHandsInterface) {
    Object* interface = make(plugIn.value ? kNVMe : kATA, "", plugIn.device);
    if (d.interfaceTable) interface->table = plugIn.value ? static_cast<const void*>(&nvmeTable) : &ataTable;
    *result = handOut<LPVOID>(interface);
  }
  return d.queryResult;
}

}  // namespace

// Starts afresh with these devices and volumes (mount path to BSD name).
void reset(std::vector<Device> devices, std::map<std::string, std::string> volumes = {}) {
  fake = std::make_unique<State>();
  fake->devices = std::move(devices);
  fake->volumes = std::move(volumes);
}
// Empty when all is well; else what was handed out and not given back, and
// each misuse seen: an object that is not what the call takes (a wrong self
// pointer), an unknown UUID or plane, a release too many, reads that
// overlapped.
std::string unbalanced() {
  std::string left;
  for (const auto& [pointer, object] : fake->live) {
    if (object->counted) left += kKindNames[std::countr_zero(object->kind)] + (" " + object->text) + " left; ";
  }
  for (const Device& d : fake->devices) {
    if (d.references != 0) left += "entry " + d.name + " left; ";
  }
  for (const Iterator& i : fake->iterators) {
    if (i.references != 0) left += "iterator left; ";
  }
  for (const std::string& fault : fake->faults) left += fault + "; ";
  return left + (fake->overlaps != 0 ? "overlapping reads" : "");
}

}  // namespace velmora::fake_iokit

namespace velmora {
namespace {

using Case = SMARTError::Case;
using namespace fake_iokit;

// A disk whose page reads 313 K, as NVMe or as ATA (attribute 194, raw 40 °C).
Device disk(const std::string& name, Kind kind, const std::function<void(Device&)>& change = nullptr) {
  const bool nvme = kind == kNVMe;
  Device disk{.name = name, .properties = {{nvme ? "NVMe SMART Capable" : "SMART Capable", true}}};
  disk.page[nvme ? 1 : 2] = nvme ? 0x39 : 194;
  disk.page[nvme ? 2 : 7] = nvme ? 0x01 : 40;
  if (change) change(disk);
  return disk;
}
Device partition(const std::string& name, const std::string& parent, kern_return_t parentResult = 0) {
  return Device{.name = name, .parent = parent, .blockStorage = false, .parentResult = parentResult};
}

struct ReadCase {
  const char* name;
  std::vector<Device> devices;
  std::optional<Case> error = std::nullopt;  // none: the disk's page, 313 K
  std::string text = "";
  std::vector<std::string> calls = {};  // checked when given
};

// Each read by name: its outcome, the calls it made, and nothing left
// retained, created or queried afterwards.
TEST(SMARTReader, ReadsByNameAndGivesEverythingBackOnEveryPath) {
  const std::string notNVMe = "Failed to read SMART data (NVMe: Disk is not NVMe SMART capable, ATA: ";
  const ReadCase cases[] = {
      {"an NVMe capable disk never tries ATA", {disk("d", kNVMe, [](auto& d) { d.properties["SMART Capable"] = true; })},
       std::nullopt, "", {"create:NVMe", "read"}},
      {"an NVMe read failure after opening is itself", {disk("d", kNVMe, [](auto& d) { d.readResults = {5}; })},
       Case::failedToReadSMARTData, "Failed to read SMART data (kern_return: 5): (os/kern) failure"},
      {"an interface without a function table", {disk("d", kNVMe, [](auto& d) { d.interfaceTable = false; })},
       Case::failedToGetSMARTInterface, "Failed to get SMART interface", {"create:NVMe"}},
      {"an ATA read is retried once after enabling", {disk("d", kATA, [](auto& d) { d.readResults = {5, 0}; })},
       std::nullopt, "", {"create:ATA", "read", "enable:1", "read", "log:4:4096"}},
      {"the retry's failure is the one reported", {disk("d", kATA, [](auto& d) { d.readResults = {5, 22}; })},
       Case::failedToReadSMARTData, "Failed to read SMART data (kern_return: 22): Unknown kernel error 22"},
      {"a refused statistics log still yields data, without totals",
       {disk("d", kATA, [](auto& d) { d.logResult = 5; d.statistics.assign(4096, 0xFF); })}},
      {"neither interface: both reasons", {Device{.name = "d", .properties = {{"NVMe SMART Capable", std::nullopt}}}},
       Case::failedToReadSMART, notNVMe + "Disk is not ATA SMART capable)"},
      {"creation fails and hands a plug-in back", {disk("d", kATA, [](auto& d) { d.createResult = 3; })},
       Case::failedToReadSMART, notNVMe + "Failed to create plugin interface (kern_return: 3): Unknown kernel error 3)"},
      {"creation succeeds without a plug-in", {disk("d", kATA, [](auto& d) { d.createHandsPlugIn = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to create plugin interface (kern_return: 0): Unknown kernel error 0)"},
      {"a plug-in without a function table", {disk("d", kATA, [](auto& d) { d.plugInTable = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to query SMART interface (kern_return: 56): (os/kern) not found)"},
      {"the query fails and hands an interface back", {disk("d", kATA, [](auto& d) { d.queryResult = E_NOINTERFACE; })},
       Case::failedToReadSMART,
       notNVMe + "Failed to query SMART interface (kern_return: -2147483644): Unknown kernel error -2147483644)"},
      {"the query succeeds without an interface", {disk("d", kATA, [](auto& d) { d.queryHandsInterface = false; })},
       Case::failedToReadSMART, notNVMe + "Failed to query SMART interface (kern_return: 0): Unknown kernel error 0)"},
      {"the parent walk stops at the first block storage device",
       {disk("disk4", kNVMe), partition("disk4s1", "disk4"), partition("d", "disk4s1")}},
      {"the parent walk ends without a disk", {partition("d", "")}, Case::failedToGetIODisk, "Failed to get IO disk"},
      {"the parent walk fails", {partition("d", "disk4", 5)}, Case::failedToGetParentEntry,
       "Failed to get parent entry (kern_return: 5): (os/kern) failure"},
      {"no such disk", {}, Case::diskNotFound, "Disk not found: d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset(c.devices);
    const auto reader = detail::SMARTReaderImpl::makeReader(platform::systemDeviceRegistry());
    if (c.error) {
      test::expectError<SMARTError>([&] { reader->getDriveSMARTData(std::string("d")); }, *c.error, c.text);
    } else {
      const auto data = reader->getDriveSMARTData(std::string("d"));
      EXPECT_EQ(data.temperature(), 313u);
      EXPECT_EQ(data.totalread(), 0u);
    }
    if (!c.calls.empty()) {
      EXPECT_EQ(fake->calls, c.calls);
    }
    EXPECT_EQ(unbalanced(), "");
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
  EXPECT_EQ(SMARTError::failedToReadSMARTData(5, "NVMe status 0x4109").errorDescription(),
            "Failed to read SMART data (kern_return: 5): " + kernelReturnText(5) + "; the device reported NVMe status 0x4109");
}

// Retrievers resolve the volume once and look the disk up afresh on each
// request; the snapshot says which method read it.
TEST(SMARTReader, VolumesAndRetrievers) {
  reset({disk("disk8", kATA), disk("disk9", kNVMe)}, {{"/Volumes/Data", "disk8"}, {"/Volumes/Fast", "disk9"}});
  const auto reader = detail::SMARTReaderImpl::makeReader(platform::systemDeviceRegistry());
  EXPECT_EQ(reader->getDriveSMARTData(std::filesystem::path("/Volumes/Data")).temperature(), 313u);
  test::expectError<SMARTError>([&] { reader->getDriveSMARTData(std::filesystem::path("/Volumes/None")); },
                                Case::DADiskError, "Disk Arbitration error: Failed to create DADisk from volume path");

  const std::string cut("disk8\0s1", 8);  // not disk8; the NUL is shown, so the text is whole
  test::expectError<SMARTError>([&] { reader->getDriveSMARTData(cut); }, Case::diskNotFound,
                                "Disk not found: disk8\\0s1");
  const auto retriever = reader->smartDataRetriever("/Volumes/Data");
  EXPECT_EQ(retriever->bsdName(), "disk8");
  const auto snapshot = retriever->getSnapshot().get();
  EXPECT_EQ(snapshot.method(), cloud::DriveHealthSnapshot::ATA);
  EXPECT_EQ(snapshot.healthdata().temperature(), 313u);
  EXPECT_EQ(reader->smartDataRetriever("/Volumes/Fast")->getSnapshot().get().method(), cloud::DriveHealthSnapshot::NVME);
  EXPECT_EQ(unbalanced(), "");
  reset({Device{.name = "disk8"}});  // the disk is looked up afresh, now without SMART
  EXPECT_THROW(retriever->getSMARTData().get(), SMARTError);
  EXPECT_EQ(unbalanced(), "");
}

// The whole drives: IOMedia objects marked whole above a block storage
// device that is not virtual, sorted, with model and serial from the
// device's characteristics; everything taken is given back, also when the
// registry cannot be searched.
TEST(SMARTReader, ListsTheMachinesWholeDrives) {
  const auto media = [](const std::string& name, const std::string& parent, bool whole = true) {
    return Device{.name = name, .parent = parent, .blockStorage = false, .properties = {{"Whole", whole}}, .media = true};
  };
  const auto driver = [](const std::string& name, const std::string& parent) {
    return Device{.name = name, .parent = parent, .blockStorage = false};
  };
  const auto device = [](const std::string& name, std::optional<std::pair<std::string, std::string>> characteristics,
                         bool virtualInterface = false) {
    return Device{.name = name, .characteristics = std::move(characteristics), .virtualInterface = virtualInterface};
  };
  reset({
      media("disk1", "driver1"), driver("driver1", "ahci1"), device("ahci1", {{"  WDC WD40EFRX  ", "   WD-1234 "}}),
      media("disk0", "driver0"), driver("driver0", "nvme0"), device("nvme0", {{"APPLE SSD AP0512Q", "C02XK1"}}),
      media("disk0s1", "disk0", false),                                // a partition
      media("disk0s2", "disk0", false), driver("scheme", "disk0s2"),   // an APFS container ...
      media("disk3", "scheme"),                                        // ... and the disk it synthesizes
      media("disk4", "driver4"), driver("driver4", "image4"), device("image4", {{"Disk Image", ""}}, true),
      media("disk5", "driver5"), driver("driver5", "usb5"), device("usb5", std::nullopt),
      media("disk6", "driver6"), driver("driver6", "gone"),            // its device is not in the registry
  });
  const auto reader = detail::SMARTReaderImpl::makeReader(platform::systemDeviceRegistry());
  using Drive = SMARTReader::Drive;
  EXPECT_EQ(reader->drives(), (std::vector<Drive>{{"disk0", "APPLE SSD AP0512Q", "C02XK1"},
                                                  {"disk1", "WDC WD40EFRX", "WD-1234"},
                                                  {"disk5", std::nullopt, std::nullopt}}));
  EXPECT_EQ(unbalanced(), "");
  fake->matchingResult = 5;
  EXPECT_THROW(reader->drives(), std::system_error);
  EXPECT_EQ(unbalanced(), "");
}

TEST(SMARTReader, RequestsFromManyThreadsRunOneAtATime) {
  reset({disk("disk0", kNVMe)});
  const auto reader = detail::SMARTReaderImpl::makeReader(platform::systemDeviceRegistry());
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
  EXPECT_EQ(unbalanced(), "");
}

}  // namespace
}  // namespace velmora

using namespace velmora::fake_iokit;

// CoreFoundation.
const CFAllocatorRef kCFAllocatorDefault = nullptr;
CFTypeID CFGetTypeID(CFTypeRef cf) { return live(cf, "CFGetTypeID", kCF).kind; }
void CFRelease(CFTypeRef cf) {
  Object& object = live(cf, "CFRelease", kCF & ~kUUID);  // a constant UUID is never released
  if (object.kind != 0) unref(object);
}
CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding encoding) {
  if (encoding != kCFStringEncodingUTF8) fault("CFStringCreateWithCString: not UTF-8");
  return handOut<CFStringRef>(make(kString, text));
}
CFTypeID CFStringGetTypeID(void) { return kString; }
CFIndex CFStringGetLength(CFStringRef string) {
  return static_cast<CFIndex>(live(string, "CFStringGetLength", kString).text.size());
}
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding) { return length * 3; }
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex size, CFStringEncoding encoding) {
  const std::string& text = live(string, "CFStringGetCString", kString).text;
  if (encoding != kCFStringEncodingUTF8) fault("CFStringGetCString: not UTF-8");
  if (static_cast<CFIndex>(text.size()) >= size) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}
CFTypeID CFDictionaryGetTypeID(void) { return kDictionary; }
// A value the dictionary keeps: the caller owns no reference on it.
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key) {
  const Object& object = live(dictionary, "CFDictionaryGetValue", kDictionary);
  const std::string& name = live(key, "CFDictionaryGetValue", kString).text;
  std::optional<std::string> value;
  if (object.text == "Device Characteristics" && name == "Product Name") value = object.device->characteristics->first;
  if (object.text == "Device Characteristics" && name == "Serial Number") value = object.device->characteristics->second;
  if (object.text == "Protocol Characteristics" && name == "Physical Interconnect") {
    value = object.device->virtualInterface ? "Virtual Interface" : "PCI-Express";
  }
  if (!value) return nullptr;
  Object* kept = make(kString, *value);
  kept->counted = false;
  return handOut<const void*>(kept);
}
CFTypeID CFBooleanGetTypeID(void) { return kBoolean; }
Boolean CFBooleanGetValue(CFBooleanRef boolean) { return live(boolean, "CFBooleanGetValue", kBoolean).value; }
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex length, Boolean) {
  return handOut<CFURLRef>(make(kURL, std::string(reinterpret_cast<const char*>(buffer), length)));
}
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3, UInt8 b4, UInt8 b5,
                                         UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9, UInt8 b10, UInt8 b11, UInt8 b12,
                                         UInt8 b13, UInt8 b14, UInt8 b15) {
  const CFUUIDBytes bytes = {b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
  Object* made = make(kUUID, text(bytes));
  made->bytes = bytes;
  made->counted = false;  // a constant lives as long as the process
  return handOut<CFUUIDRef>(made);
}
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) { return live(uuid, "CFUUIDGetUUIDBytes", kUUID).bytes; }

// IOKit.
kern_return_t reference(io_object_t object, int change, const char* call) {
  if (object >= kFirstIterator && object - kFirstIterator < fake->iterators.size() &&
      fake->iterators[object - kFirstIterator].references > 0) {
    fake->iterators[object - kFirstIterator].references += change;
    return KERN_SUCCESS;
  }
  if (device(object, call) == nullptr) return kIOReturnBadArgument;
  fake->devices[object - 1].references += change;
  return KERN_SUCCESS;
}
kern_return_t IOObjectRelease(io_object_t object) { return reference(object, -1, "IOObjectRelease"); }
kern_return_t IOObjectRetain(io_object_t object) { return reference(object, 1, "IOObjectRetain"); }
boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className) {
  const Device* d = device(object, "IOObjectConformsTo");
  return d && d->blockStorage && std::strcmp(className, "IOBlockStorageDevice") == 0;
}
io_service_t IOServiceGetMatchingService(mach_port_t, CFDictionaryRef matching) {
  Object& dictionary = live(matching, "IOServiceGetMatchingService", kDictionary);
  const io_service_t service = entry(dictionary.text);
  unref(dictionary);  // taken over, as documented
  return service;
}
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t object, CFStringRef key, CFAllocatorRef, IOOptionBits) {
  const Device* d = device(object, "IORegistryEntryCreateCFProperty");
  const std::string& name = live(key, "IORegistryEntryCreateCFProperty", kString).text;
  if (d == nullptr) return nullptr;
  if (name == "BSD Name" && d->media) return handOut<CFTypeRef>(make(kString, d->name));
  if (name == "Device Characteristics" && d->characteristics) return handOut<CFTypeRef>(make(kDictionary, name, const_cast<Device*>(d)));
  if (name == "Protocol Characteristics" && !d->media) return handOut<CFTypeRef>(make(kDictionary, name, const_cast<Device*>(d)));
  if (d->properties.count(name) == 0) return nullptr;
  const std::optional<bool> value = d->properties.at(name);
  return handOut<CFTypeRef>(make(value ? kBoolean : kNumber, "", nullptr, value.value_or(true)));
}
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t object, const io_name_t plane,
                                            io_registry_entry_t* parent) {
  const Device* d = device(object, "IORegistryEntryGetParentEntry");
  if (d == nullptr) return kIOReturnBadArgument;
  if (std::strcmp(plane, kIOServicePlane) != 0) fault(std::string("IORegistryEntryGetParentEntry: plane ") + plane);
  if (d->parentResult == KERN_SUCCESS && !d->parent.empty()) *parent = entry(d->parent);
  return d->parentResult;
}
CFMutableDictionaryRef IOServiceMatching(const char* name) {
  return handOut<CFMutableDictionaryRef>(make(kDictionary, std::string("class ") + name));
}
kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching, io_iterator_t* existing) {
  Object& dictionary = live(matching, "IOServiceGetMatchingServices", kDictionary);
  if (dictionary.text != "class IOMedia") fault("IOServiceGetMatchingServices: matching " + dictionary.text);
  unref(dictionary);  // taken over, as documented
  if (fake->matchingResult != KERN_SUCCESS) return fake->matchingResult;
  fake->iterators.push_back({});
  *existing = kFirstIterator + static_cast<io_object_t>(fake->iterators.size() - 1);
  return KERN_SUCCESS;
}
io_object_t IOIteratorNext(io_iterator_t iterator) {
  if (iterator < kFirstIterator || iterator - kFirstIterator >= fake->iterators.size()) {
    fault("IOIteratorNext: not an iterator");
    return IO_OBJECT_NULL;
  }
  Iterator& i = fake->iterators[iterator - kFirstIterator];
  while (i.next < fake->devices.size() && !fake->devices[i.next].media) ++i.next;
  return i.next < fake->devices.size() ? entry(fake->devices[i.next++].name) : IO_OBJECT_NULL;
}
CFMutableDictionaryRef IOBSDNameMatching(mach_port_t, uint32_t, const char* bsdName) {
  return handOut<CFMutableDictionaryRef>(make(kDictionary, bsdName));
}
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType, CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** result, SInt32* score) {
  Device* d = device(service, "IOCreatePlugInInterfaceForService");
  const std::string type = live(pluginType, "IOCreatePlugInInterfaceForService", kUUID).text;
  const std::string interface = live(interfaceType, "IOCreatePlugInInterfaceForService", kUUID).text;
  const bool nvme = type == kNVMeUserClientType;
  if (d == nullptr || (!nvme && type != kATAUserClientType) || interface != kPlugInInterface) {
    fault("IOCreatePlugInInterfaceForService: unknown " + type + " / " + interface);
    return kIOReturnUnsupported;
  }
  fake->calls.push_back(nvme ? "create:NVMe" : "create:ATA");
  if (d->createHandsPlugIn) {
    Object* plugIn = make(kPlugIn, "", d, nvme);
    plugIn->table = d->plugInTable ? &plugInTable : nullptr;
    plugIn->counted = d->plugInTable;  // without a table nothing can give it back
    *result = handOut<IOCFPlugInInterface**>(plugIn);
  }
  *score = 0;
  return d->createResult;
}
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface) {
  if (live(interface, "IODestroyPlugInInterface", kPlugIn).kind == 0 || *interface == nullptr) {
    fault("IODestroyPlugInInterface: no plug-in with a table");
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
DASessionRef DASessionCreate(CFAllocatorRef) { return handOut<DASessionRef>(make(kSession)); }
DADiskRef DADiskCreateFromVolumePath(CFAllocatorRef, DASessionRef session, CFURLRef path) {
  live(session, "DADiskCreateFromVolumePath", kSession);
  const auto found = fake->volumes.find(live(path, "DADiskCreateFromVolumePath", kURL).text);
  return found == fake->volumes.end() ? nullptr : handOut<DADiskRef>(make(kDisk, found->second));
}
const char* DADiskGetBSDName(DADiskRef disk) {
  const Object& object = live(disk, "DADiskGetBSDName", kDisk);
  return object.kind ? object.text.c_str() : nullptr;
}
