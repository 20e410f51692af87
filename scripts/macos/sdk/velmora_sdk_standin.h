/* A compile-only stand-in for the parts of Apple's CoreFoundation, IOKit and
 * DiskArbitration SDK headers that the macOS drive backend
 * (src/platform/macos/) uses, so that scripts/check-macos.sh can compile
 * that backend for x86_64-macos on a machine without the SDK. Written from
 * Apple's public documentation of these functions, types and interface
 * tables; nothing here is linked or run. On a Mac the real SDK headers are
 * used instead, so a difference between this file and the SDK shows up
 * there as a compile error. Declares only what the backend uses; a table
 * lists only the entries the backend names, so its layout is not the
 * SDK's. */
#ifndef VELMORA_SDK_STANDIN_H
#define VELMORA_SDK_STANDIN_H

#include <MacTypes.h>
#include <mach/boolean.h>
#include <mach/mach_error.h>
#include <mach/port.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* CoreFoundation: base types and objects. */
typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef long CFIndex;
typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
void CFRelease(CFTypeRef object);
CFTypeID CFGetTypeID(CFTypeRef object);

typedef const struct __CFString* CFStringRef;
typedef UInt32 CFStringEncoding;
enum { kCFStringEncodingUTF8 = 0x08000100 };
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text, CFStringEncoding encoding);

typedef const struct __CFBoolean* CFBooleanRef;
CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);

typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFDictionary* CFMutableDictionaryRef;

typedef const struct __CFURL* CFURLRef;
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer, CFIndex length,
                                                 Boolean isDirectory);

typedef const struct __CFUUID* CFUUIDRef;
typedef struct {
  UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
  UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef allocator, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);

/* The COM-style plug-in interfaces (CFPlugInCOM). */
typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;
#define IUNKNOWN_C_GUTS                                                   \
  void* _reserved;                                                        \
  HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv); \
  ULONG (*AddRef)(void* thisPointer);                                     \
  ULONG (*Release)(void* thisPointer)

/* IOKit: registry objects and results. */
typedef kern_return_t IOReturn;
#define kIOReturnSuccess KERN_SUCCESS
#define kIOReturnUnsupported ((IOReturn)0xE00002C7)
typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_registry_entry_t;
typedef char io_name_t[128];
typedef UInt32 IOOptionBits;
#define IO_OBJECT_NULL ((io_object_t)0)
#define kIOServicePlane "IOService"

CFMutableDictionaryRef IOBSDNameMatching(mach_port_t mainPort, uint32_t options, const char* bsdName);
io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching);
boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className);
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent);
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key, CFAllocatorRef allocator,
                                          IOOptionBits options);
kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IOObjectRelease(io_object_t object);

/* IOKit: the CFPlugIn of a service. */
typedef struct IOCFPlugInInterface {
  IUNKNOWN_C_GUTS;
  UInt16 version;
  UInt16 revision;
} IOCFPlugInInterface;
kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType, CFUUIDRef interfaceType,
                                                IOCFPlugInInterface*** theInterface, SInt32* theScore);
kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface** interface);

/* The NVMe SMART user client: the 512-byte SMART / Health log page. */
typedef struct NVMeSMARTData {
  UInt8 bytes[512];
} NVMeSMARTData;
typedef struct IONVMeSMARTInterface {
  IUNKNOWN_C_GUTS;
  UInt16 version;
  UInt16 revision;
  IOReturn (*SMARTReadData)(void* interface, NVMeSMARTData* data);
} IONVMeSMARTInterface;
#define kIONVMeSMARTInterfaceID                                                                                \
  CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0xCC, 0xD1, 0xDB, 0x19, 0xFD, 0x9A, 0x4D, 0xAF, 0xBF, \
                                 0x95, 0x12, 0x45, 0x4B, 0x23, 0x0A, 0xB6)

/* The ATA SMART user client: the 512-byte SMART data page. */
typedef struct ATASMARTData {
  UInt8 bytes[512];
} ATASMARTData;
typedef struct IOATASMARTInterface {
  IUNKNOWN_C_GUTS;
  UInt16 version;
  UInt16 revision;
  IOReturn (*SMARTEnableDisableOperations)(void* interface, Boolean enable);
  IOReturn (*SMARTReadData)(void* interface, ATASMARTData* data);
  IOReturn (*SMARTReadLogAtAddress)(void* interface, UInt32 address, void* buffer, UInt32 size);
} IOATASMARTInterface;
#define kIOATASMARTInterfaceID                                                                                 \
  CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x08, 0xAB, 0xE2, 0x1C, 0x20, 0xD4, 0x11, 0xD6, 0x8D, \
                                 0xF6, 0x00, 0x03, 0x93, 0x5A, 0x76, 0xB2)

/* Disk Arbitration: the disk behind a mounted volume. */
typedef struct __DASession* DASessionRef;
typedef struct __DADisk* DADiskRef;
DASessionRef DASessionCreate(CFAllocatorRef allocator);
DADiskRef DADiskCreateFromVolumePath(CFAllocatorRef allocator, DASessionRef session, CFURLRef path);
const char* DADiskGetBSDName(DADiskRef disk);

#ifdef __cplusplus
}
#endif

#endif
