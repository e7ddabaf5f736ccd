// Test stand-in for the IOKit (IOKitLib.h, IOReturn.h) declarations that
// python/macusb uses (see tests/macstub/README.md).
#ifndef MACSTUB_IOKITLIB_H
#define MACSTUB_IOKITLIB_H

#include <CoreFoundation/CoreFoundation.h>
#include <mach/mach.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef kern_return_t IOReturn;
typedef mach_port_t io_object_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_service_t;

#define kIOReturnSuccess KERN_SUCCESS
#define kIOReturnNoResources ((IOReturn)0xe00002be)
#define kIOReturnNoDevice ((IOReturn)0xe00002c0)
#define kIOReturnExclusiveAccess ((IOReturn)0xe00002c5)

kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t *masterPort);
CFMutableDictionaryRef IOServiceMatching(const char *name);
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t *existing);
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRelease(io_object_t object);

#ifdef __cplusplus
}
#endif

#endif
