/* Off the Mac only (the fake-backed test on Linux): the few Darwin base
 * types and Mach declarations that velmora_sdk_standin.h and the backend
 * use, as macOS defines them for LP64. On a Mac, and for the macOS check,
 * the system's own headers are used instead. */
#ifndef VELMORA_DARWIN_BASE_H
#define VELMORA_DARWIN_BASE_H

typedef unsigned char UInt8;
typedef unsigned short UInt16;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef unsigned char Boolean;
typedef int boolean_t;
typedef unsigned int mach_port_t;
typedef int kern_return_t;
typedef kern_return_t mach_error_t;
#define KERN_SUCCESS 0
#define MACH_PORT_NULL ((mach_port_t)0)

#ifdef __cplusplus
extern "C" {
#endif
const char* mach_error_string(mach_error_t error_value);
#ifdef __cplusplus
}
#endif

#endif
