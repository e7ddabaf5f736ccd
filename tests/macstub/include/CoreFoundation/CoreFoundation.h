// Test stand-in for the CoreFoundation declarations that python/macusb uses,
// with the real names, types and calling shapes (see tests/macstub/README.md
// for where each is documented). Not a CoreFoundation: the simulation in
// tests/macstub/macstub.cpp answers the calls.
#ifndef MACSTUB_COREFOUNDATION_H
#define MACSTUB_COREFOUNDATION_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char UInt8;
typedef unsigned short UInt16;
typedef unsigned int UInt32;
typedef signed short SInt16;
typedef signed int SInt32;
typedef unsigned char Boolean;
typedef long CFIndex;

typedef const void *CFTypeRef;
typedef const struct __CFAllocator *CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
void CFRelease(CFTypeRef cf);

typedef const struct __CFString *CFStringRef;
CFStringRef __CFStringMakeConstantString(const char *cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

// A CFIndex-based enum type in C++, as CF_ENUM declares it; a CFIndex in C.
#ifdef __cplusplus
typedef enum CFNumberType : CFIndex { kCFNumberSInt32Type = 3 } CFNumberType;
#else
typedef CFIndex CFNumberType;
enum { kCFNumberSInt32Type = 3 };
#endif
typedef const struct __CFNumber *CFNumberRef;
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void *valuePtr);

typedef const struct __CFDictionary *CFDictionaryRef;
typedef struct __CFDictionary *CFMutableDictionaryRef;
void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void *key, const void *value);

typedef const struct __CFUUID *CFUUIDRef;
typedef struct {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                         UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6,
                                         UInt8 byte7, UInt8 byte8, UInt8 byte9, UInt8 byte10,
                                         UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);

// COM-style plug-in interfaces (CFPlugInCOM.h).
typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void *LPVOID;
typedef CFUUIDBytes REFIID;
#define IUNKNOWN_C_GUTS                                                   \
    void *_reserved;                                                      \
    HRESULT (*QueryInterface)(void *thisPointer, REFIID iid, LPVOID *ppv); \
    ULONG (*AddRef)(void *thisPointer);                                   \
    ULONG (*Release)(void *thisPointer)

// Run loops and Mach port sources (CFRunLoop.h, CFMachPort.h).
typedef struct __CFMachPort *CFMachPortRef;
typedef struct __CFRunLoop *CFRunLoopRef;
typedef struct __CFRunLoopSource *CFRunLoopSourceRef;
typedef CFStringRef CFRunLoopMode;
extern const CFRunLoopMode kCFRunLoopDefaultMode;
CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef allocator, CFMachPortRef port, CFIndex order);
CFRunLoopRef CFRunLoopGetCurrent(void);
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);

#ifdef __cplusplus
}
#endif

#endif
