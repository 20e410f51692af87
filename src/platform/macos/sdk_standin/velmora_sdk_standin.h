/* A stand-in for the parts of Apple's CoreFoundation, IOKit and
 * DiskArbitration SDK headers that the macOS drive backend
 * (src/platform/macos/iokit_device_registry.cpp) uses. It serves twice, so
 * that what is compiled and what is run are the same declarations:
 *  - scripts/check-macos.sh compiles the backend against it for macOS,
 *    where zig has macOS's libc headers but not these frameworks';
 *  - the test suite links the backend against a fake of these functions
 *    (tests/smart/smart_reader_test.cpp) on Linux, with the few Darwin
 *    base types from darwin_base/.
 * On a Mac the real SDK headers are used and this file is not.
 *
 * Written from Apple's public documentation of these functions and types
 * and from the published layouts of the records and function tables:
 *  - CFPlugInCOM: a COM-style interface is a pointer to a pointer to a
 *    table that begins with the IUnknown entries (_reserved,
 *    QueryInterface, AddRef, Release);
 *  - IOCFPlugIn.h: IOCFPlugInInterface is IUnknown, then version,
 *    revision, Probe, Start, Stop;
 *  - ATASMARTLib.h: IOATASMARTInterface is IUnknown, version, revision,
 *    then its eleven operations in Apple's order; ATASMARTData and the
 *    other records are 512 bytes;
 *  - NVMeSMARTLibExternal.h: IONVMeSMARTInterface is IUnknown, version,
 *    revision, SMARTReadData, GetIdentifyData, two reserved words,
 *    GetLogPage (the later entries, which nothing here names, are left
 *    out: only the system allocates these tables); NVMeSMARTData is the
 *    512-byte SMART / Health Information log page.
 * Tables and records keep every entry up to the last one declared, so that
 * each offset is Apple's; the offsets are checked below for LP64 (x86_64
 * and arm64). Functions, types and constants that the backend does not use
 * are left out. */
#ifndef VELMORA_SDK_STANDIN_H
#define VELMORA_SDK_STANDIN_H

#include <MacTypes.h>
#include <mach/boolean.h>
#include <mach/mach_error.h>
#include <mach/port.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define VELMORA_SDK_LAYOUT(condition) static_assert(condition, #condition)
extern "C" {
#else
#define VELMORA_SDK_LAYOUT(condition) _Static_assert(condition, #condition)
#endif

/* CoreFoundation: base types and objects. */
typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef signed long CFIndex;
typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
CFTypeID CFGetTypeID(CFTypeRef cf);
void CFRelease(CFTypeRef cf);

typedef const struct __CFString* CFStringRef;
typedef UInt32 CFStringEncoding;
enum { kCFStringEncodingUTF8 = 0x08000100 };
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
CFTypeID CFStringGetTypeID(void);
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);

typedef const struct __CFBoolean* CFBooleanRef;
CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;
CFTypeID CFDictionaryGetTypeID(void);
const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key);

typedef const struct __CFURL* CFURLRef;
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory);

typedef const struct __CFUUID* CFUUIDRef;
typedef struct {
  UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
  UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);

/* CFPlugInCOM: the IUnknown entries that begin every interface table. */
typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;
#define S_OK ((HRESULT)0x00000000L)
#define E_NOINTERFACE ((HRESULT)0x80000004L)
#define IUNKNOWN_C_GUTS                                                   \
  void* _reserved;                                                        \
  HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv); \
  ULONG (*AddRef)(void* thisPointer);                                     \
  ULONG (*Release)(void* thisPointer)

/* IOKit: registry objects and results. */
typedef kern_return_t IOReturn;
#define kIOReturnSuccess KERN_SUCCESS
#define kIOReturnBadArgument ((IOReturn)0xE00002C2)
#define kIOReturnUnsupported ((IOReturn)0xE00002C7)
typedef mach_port_t io_object_t;
typedef io_object_t io_registry_entry_t;
typedef io_object_t io_service_t;
typedef io_object_t io_iterator_t;
typedef char io_name_t[128];
typedef UInt32 IOOptionBits;
#define IO_OBJECT_NULL ((io_object_t)0)
#define kIOServicePlane "IOService"

kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOObjectRetain(io_object_t object);
boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className);
io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching);
CFMutableDictionaryRef IOServiceMatching(const char* name);
kern_return_t IOServiceGetMatchingServices(mach_port_t mainPort, CFDictionaryRef matching, io_iterator_t* existing);
io_object_t IOIteratorNext(io_iterator_t iterator);
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef allocator,
                                          IOOptionBits options);
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent);
CFMutableDictionaryRef IOBSDNameMatching(mach_port_t mainPort, uint32_t options, const char* bsdName);

/* IOCFPlugIn: the plug-in of a service. */
#define kIOCFPlugInInterfaceID                                                                                   \
  CFUUIDGetConstantUUIDWithBytes(NULL, 0xC2, 0x44, 0xE8, 0x58, 0x10, 0x9C, 0x11, 0xD4, 0x91, 0xD4, 0x00, 0x50, \
                                 0xE4, 0xC6, 0x42, 0x6F)
typedef struct IOCFPlugInInterfaceStruct {
  IUNKNOWN_C_GUTS;
  UInt16 version;
  UInt16 revision;
  IOReturn (*Probe)(void* thisPointer, CFDictionaryRef propertyTable, io_service_t service, SInt32* order);
  IOReturn (*Start)(void* thisPointer, CFDictionaryRef propertyTable, io_service_t service);
  IOReturn (*Stop)(void* thisPointer);
} IOCFPlugInInterface;
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType, CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface, SInt32* theScore);
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface);

/* ATASMARTLib: the ATA SMART user client. */
#define kIOATASMARTUserClientTypeID                                                                              \
  CFUUIDGetConstantUUIDWithBytes(NULL, 0x24, 0x51, 0x4B, 0x7A, 0x28, 0x04, 0x11, 0xD6, 0x8A, 0x02, 0x00, 0x30, \
                                 0x65, 0x70, 0x48, 0x66)
#define kIOATASMARTInterfaceID                                                                                   \
  CFUUIDGetConstantUUIDWithBytes(NULL, 0x08, 0xAB, 0xE2, 0x1C, 0x20, 0xD4, 0x11, 0xD6, 0x8D, 0xF6, 0x00, 0x03, \
                                 0x93, 0x5A, 0x76, 0xB2)
typedef struct ATASMARTData {
  UInt8 vendorSpecific1[362]; /* the revision and 30 attribute entries of 12 bytes */
  UInt8 offLineDataCollectionStatus;
  UInt8 selfTestExecutionStatus;
  UInt8 secondsToCompleteOffLineActivity[2];
  UInt8 vendorSpecific2;
  UInt8 offLineDataCollectionCapability;
  UInt8 SMARTCapability[2];
  UInt8 errorLoggingCapability;
  UInt8 vendorSpecific3;
  UInt8 shortTestPollingInterval;
  UInt8 extendedTestPollingInterval;
  UInt8 reserved[12];
  UInt8 vendorSpecific4[125];
  UInt8 checksum;
} ATASMARTData;
typedef struct ATASMARTDataThresholds {
  UInt8 vendorSpecific1[362];
  UInt8 reserved[149];
  UInt8 checksum;
} ATASMARTDataThresholds;
typedef struct ATASMARTLogEntry {
  UInt8 numberOfSectors;
  UInt8 reserved;
} ATASMARTLogEntry;
typedef struct ATASMARTLogDirectory {
  UInt8 logVersion;
  UInt8 reserved1;
  ATASMARTLogEntry entries[255];
} ATASMARTLogDirectory;
typedef struct IOATASMARTInterface {
  IUNKNOWN_C_GUTS;
  UInt16 version;
  UInt16 revision;
  IOReturn (*SMARTEnableDisableOperations)(void* interface, Boolean enable);
  IOReturn (*SMARTEnableDisableAutosave)(void* interface, Boolean enable);
  IOReturn (*SMARTReturnStatus)(void* interface, Boolean* exceededCondition);
  IOReturn (*SMARTExecuteOffLineImmediate)(void* interface, Boolean extendedTest);
  IOReturn (*SMARTReadData)(void* interface, ATASMARTData* data);
  IOReturn (*SMARTValidateReadData)(void* interface, const ATASMARTData* data);
  IOReturn (*SMARTReadDataThresholds)(void* interface, ATASMARTDataThresholds* data);
  IOReturn (*SMARTReadLogDirectory)(void* interface, ATASMARTLogDirectory* logData);
  IOReturn (*SMARTReadLogAtAddress)(void* interface, UInt32 address, void* buffer, UInt32 size);
  IOReturn (*SMARTWriteLogAtAddress)(void* interface, UInt32 address, const void* buffer, UInt32 size);
  IOReturn (*GetATAIdentifyData)(void* interface, void* buffer, UInt32 inSize, UInt32* outSize);
} IOATASMARTInterface;

/* NVMeSMARTLibExternal: the NVMe SMART user client. */
#define kIONVMeSMARTUserClientTypeID                                                                             \
  CFUUIDGetConstantUUIDWithBytes(NULL, 0xAA, 0x0F, 0xA6, 0xF9, 0xC2, 0xD6, 0x45, 0x7F, 0xB1, 0x0B, 0x59, 0xA1, \
                                 0x32, 0x53, 0x29, 0x2F)
#define kIONVMeSMARTInterfaceID                                                                                  \
  CFUUIDGetConstantUUIDWithBytes(NULL, 0xCC, 0xD1, 0xDB, 0x19, 0xFD, 0x9A, 0x4D, 0xAF, 0xBF, 0x95, 0x12, 0x45, \
                                 0x4B, 0x23, 0x0A, 0xB6)
typedef struct NVMeSMARTData {
  UInt8 CRITICAL_WARNING;
  UInt8 TEMPERATURE[2];
  UInt8 AVAILABLE_SPARE;
  UInt8 AVAILABLE_SPARE_THRESHOLD;
  UInt8 PERCENTAGE_USED;
  UInt8 RESERVED[26];
  UInt8 DATA_UNITS_READ[16];
  UInt8 DATA_UNITS_WRITTEN[16];
  UInt8 HOST_READ_COMMANDS[16];
  UInt8 HOST_WRITE_COMMANDS[16];
  UInt8 CONTROLLER_BUSY_TIME[16];
  UInt8 POWER_CYCLES[16];
  UInt8 POWER_ON_HOURS[16];
  UInt8 UNSAFE_SHUTDOWNS[16];
  UInt8 MEDIA_ERRORS[16];
  UInt8 LATER_FIELDS[336]; /* error log entries, temperature times and sensors, reserved: not read here */
} NVMeSMARTData;
typedef struct NVMeIdentifyControllerStruct NVMeIdentifyControllerStruct;
typedef struct IONVMeSMARTInterface {
  IUNKNOWN_C_GUTS;
  UInt16 version;
  UInt16 revision;
  IOReturn (*SMARTReadData)(void* interface, NVMeSMARTData* data);
  IOReturn (*GetIdentifyData)(void* interface, NVMeIdentifyControllerStruct* data, unsigned int inNamespace);
  uint64_t reserved0;
  uint64_t reserved1;
  IOReturn (*GetLogPage)(void* interface, void* data, unsigned int inLogPageId, unsigned int inNumDWords);
} IONVMeSMARTInterface;

/* DiskArbitration: the disk behind a mounted volume. */
typedef struct __DASession* DASessionRef;
DASessionRef DASessionCreate(CFAllocatorRef allocator);
typedef struct __DADisk* DADiskRef;
DADiskRef DADiskCreateFromVolumePath(CFAllocatorRef allocator, DASessionRef session, CFURLRef path);
const char* DADiskGetBSDName(DADiskRef disk);

/* The records' sizes and the offsets the backend and the fake rely on. */
VELMORA_SDK_LAYOUT(sizeof(ATASMARTData) == 512 && sizeof(ATASMARTDataThresholds) == 512);
VELMORA_SDK_LAYOUT(sizeof(ATASMARTLogDirectory) == 512 && offsetof(ATASMARTData, checksum) == 511);
VELMORA_SDK_LAYOUT(sizeof(NVMeSMARTData) == 512 && offsetof(NVMeSMARTData, DATA_UNITS_READ) == 32);
VELMORA_SDK_LAYOUT(offsetof(NVMeSMARTData, MEDIA_ERRORS) == 160);
#if defined(__LP64__)
VELMORA_SDK_LAYOUT(offsetof(IOCFPlugInInterface, QueryInterface) == 8 && offsetof(IOCFPlugInInterface, Release) == 24);
VELMORA_SDK_LAYOUT(offsetof(IOCFPlugInInterface, Probe) == 40 && sizeof(IOCFPlugInInterface) == 64);
VELMORA_SDK_LAYOUT(offsetof(IOATASMARTInterface, SMARTEnableDisableOperations) == 40);
VELMORA_SDK_LAYOUT(offsetof(IOATASMARTInterface, SMARTReadData) == 72);
VELMORA_SDK_LAYOUT(offsetof(IOATASMARTInterface, SMARTReadLogAtAddress) == 104);
VELMORA_SDK_LAYOUT(sizeof(IOATASMARTInterface) == 128);
VELMORA_SDK_LAYOUT(offsetof(IONVMeSMARTInterface, SMARTReadData) == 40);
VELMORA_SDK_LAYOUT(offsetof(IONVMeSMARTInterface, GetLogPage) == 72);
#endif

#ifdef __cplusplus
}
#endif

#endif
