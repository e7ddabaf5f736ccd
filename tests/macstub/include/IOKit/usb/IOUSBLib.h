// Test stand-in for the IOKit USB family declarations (IOUSBLib.h, USB.h,
// USBSpec.h) that python/macusb uses: the two function tables hold only the
// members it calls (see tests/macstub/README.md).
#ifndef MACSTUB_IOUSBLIB_H
#define MACSTUB_IOUSBLIB_H

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>

#ifdef __cplusplus
extern "C" {
#endif

#define kIOUSBTransactionTimeout ((IOReturn)0xe0004051)
#define kIOUSBFindInterfaceDontCare 0xFFFF
enum { kUSBDeviceSpeedLow = 0, kUSBDeviceSpeedFull = 1, kUSBDeviceSpeedHigh = 2 };

// 9DC7B780-9EC0-11D4-A54F-000A27052861
#define kIOUSBDeviceUserClientTypeID                                                        \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x9d, 0xc7, 0xb7, 0x80, 0x9e, 0xc0, 0x11, 0xD4, 0xa5, \
                                   0x4f, 0x00, 0x0a, 0x27, 0x05, 0x28, 0x61)
// 2D9786C6-9EF3-11D4-AD51-000A27052861
#define kIOUSBInterfaceUserClientTypeID                                                     \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x2d, 0x97, 0x86, 0xc6, 0x9e, 0xf3, 0x11, 0xD4, 0xad, \
                                   0x51, 0x00, 0x0a, 0x27, 0x05, 0x28, 0x61)
// FE2FD52F-3B5A-473B-977B-AD99001EB3ED
#define kIOUSBDeviceInterfaceID245                                                          \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0xFE, 0x2F, 0xD5, 0x2F, 0x3B, 0x5A, 0x47, 0x3B, 0x97, \
                                   0x7B, 0xAD, 0x99, 0x00, 0x1E, 0xB3, 0xED)
// 64BABDD2-0F6B-4B4F-8E3E-DC36046987AD
#define kIOUSBInterfaceInterfaceID245                                                       \
    CFUUIDGetConstantUUIDWithBytes(NULL, 0x64, 0xBA, 0xBD, 0xD2, 0x0F, 0x6B, 0x4B, 0x4F, 0x8E, \
                                   0x3E, 0xDC, 0x36, 0x04, 0x69, 0x87, 0xAD)

typedef struct {
    UInt8 bmRequestType;
    UInt8 bRequest;
    UInt16 wValue;
    UInt16 wIndex;
    UInt16 wLength;
    void *pData;
    UInt32 wLenDone;
} IOUSBDevRequest;

typedef struct {
    UInt16 bInterfaceClass;
    UInt16 bInterfaceSubClass;
    UInt16 bInterfaceProtocol;
    UInt16 bAlternateSetting;
} IOUSBFindInterfaceRequest;

#pragma pack(push, 1)
typedef struct IOUSBConfigurationDescriptor {
    UInt8 bLength;
    UInt8 bDescriptorType;
    UInt16 wTotalLength;
    UInt8 bNumInterfaces;
    UInt8 bConfigurationValue;
    UInt8 iConfiguration;
    UInt8 bmAttributes;
    UInt8 MaxPower;
} IOUSBConfigurationDescriptor;
#pragma pack(pop)
typedef IOUSBConfigurationDescriptor *IOUSBConfigurationDescriptorPtr;

typedef struct IOUSBDeviceStruct245 {
    IUNKNOWN_C_GUTS;
    IOReturn (*USBDeviceOpen)(void *self);
    IOReturn (*USBDeviceClose)(void *self);
    IOReturn (*GetDeviceSpeed)(void *self, UInt8 *devSpeed);
    IOReturn (*GetNumberOfConfigurations)(void *self, UInt8 *numConfig);
    IOReturn (*GetConfigurationDescriptorPtr)(void *self, UInt8 configIndex,
                                              IOUSBConfigurationDescriptorPtr *desc);
    IOReturn (*SetConfiguration)(void *self, UInt8 configNum);
    IOReturn (*ResetDevice)(void *self);
    IOReturn (*DeviceRequest)(void *self, IOUSBDevRequest *req);
    IOReturn (*CreateInterfaceIterator)(void *self, IOUSBFindInterfaceRequest *req,
                                        io_iterator_t *iter);
    IOReturn (*USBGetSerialNumberStringIndex)(void *self, UInt8 *si);
} IOUSBDeviceInterface245;

typedef struct IOUSBInterfaceStruct245 {
    IUNKNOWN_C_GUTS;
    IOReturn (*USBInterfaceOpen)(void *self);
    IOReturn (*USBInterfaceClose)(void *self);
    IOReturn (*GetNumEndpoints)(void *self, UInt8 *intfNumEndpoints);
    IOReturn (*ReadPipe)(void *self, UInt8 pipeRef, void *buf, UInt32 *size);
    IOReturn (*WritePipe)(void *self, UInt8 pipeRef, void *buf, UInt32 size);
    IOReturn (*ReadPipeTO)(void *self, UInt8 pipeRef, void *buf, UInt32 *size, UInt32 noDataTimeout,
                           UInt32 completionTimeout);
} IOUSBInterfaceInterface245;

#ifdef __cplusplus
}
#endif

#endif
