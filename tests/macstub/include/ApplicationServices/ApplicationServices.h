// Test stand-in for the ApplicationServices declarations (CoreGraphics event
// taps, HIServices accessibility and process serial numbers) that
// python/macusb's key tap uses (see tests/macstub/README.md).
#ifndef MACSTUB_APPLICATIONSERVICES_H
#define MACSTUB_APPLICATIONSERVICES_H

#include <CoreFoundation/CoreFoundation.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef SInt16 OSErr;
#ifndef __cplusplus
typedef _Bool bool;
#endif

// CGEventTypes.h. The enums have a fixed underlying type in C++, as CF_ENUM
// gives them; CF_OPTIONS makes the flags a plain 64-bit integer there.
#ifdef __cplusplus
#define MACSTUB_ENUM(type, name) enum name : type
#else
#define MACSTUB_ENUM(type, name) type name; enum
#endif
typedef struct __CGEvent *CGEventRef;
typedef struct __CGEventTapProxy *CGEventTapProxy;

typedef uint64_t CGEventFlags;
enum
#ifdef __cplusplus
    : uint64_t
#endif
{
    kCGEventFlagMaskAlphaShift = 0x00010000,
    kCGEventFlagMaskShift = 0x00020000,
    kCGEventFlagMaskControl = 0x00040000,
    kCGEventFlagMaskAlternate = 0x00080000,
    kCGEventFlagMaskCommand = 0x00100000,
    kCGEventFlagMaskNumericPad = 0x00200000,
};

typedef MACSTUB_ENUM(uint32_t, CGEventType){
    kCGEventKeyDown = 10,
    kCGEventKeyUp = 11,
    kCGEventFlagsChanged = 12,
    kCGEventTapDisabledByTimeout = 0xFFFFFFFE,
    kCGEventTapDisabledByUserInput = 0xFFFFFFFF,
} CGEventType;

typedef MACSTUB_ENUM(uint32_t, CGEventField){
    kCGKeyboardEventAutorepeat = 8,
    kCGKeyboardEventKeycode = 9,
    kCGEventTargetProcessSerialNumber = 39,
} CGEventField;

typedef MACSTUB_ENUM(uint32_t, CGEventTapLocation){
    kCGHIDEventTap = 0,
    kCGSessionEventTap = 1,
    kCGAnnotatedSessionEventTap = 2,
} CGEventTapLocation;

typedef MACSTUB_ENUM(uint32_t, CGEventTapPlacement){
    kCGHeadInsertEventTap = 0,
    kCGTailAppendEventTap = 1,
} CGEventTapPlacement;

typedef MACSTUB_ENUM(uint32_t, CGEventTapOptions){
    kCGEventTapOptionDefault = 0,
    kCGEventTapOptionListenOnly = 1,
} CGEventTapOptions;
#undef MACSTUB_ENUM

typedef uint64_t CGEventMask;
typedef CGEventRef (*CGEventTapCallBack)(CGEventTapProxy proxy, CGEventType type, CGEventRef event,
                                         void *userInfo);

// CGEvent.h.
CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place, CGEventTapOptions options,
                               CGEventMask eventsOfInterest, CGEventTapCallBack callback, void *userInfo);
void CGEventTapEnable(CFMachPortRef tap, bool enable);
CGEventFlags CGEventGetFlags(CGEventRef event);
int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field);

// HIServices: AXUIElement.h, Processes.h.
Boolean AXAPIEnabled(void);
Boolean AXIsProcessTrusted(void);

struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;
};
typedef struct ProcessSerialNumber ProcessSerialNumber;
enum { kNoProcess = 0, kSystemProcess = 1, kCurrentProcess = 2 };
OSErr SameProcess(const ProcessSerialNumber *PSN1, const ProcessSerialNumber *PSN2, Boolean *result);

#ifdef __cplusplus
}
#endif

#endif
