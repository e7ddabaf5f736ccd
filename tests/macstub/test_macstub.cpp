// The stand-in keeps to the documented ownership and call rules that the
// module relies on, so a test passing against it means something on a Mac.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>
#include <gtest/gtest.h>
#include <mach/mach.h>

extern "C" {
void macstub_reset(void);
int macstub_add_device(int vid, int pid, const char *serial);
int macstub_live(const char *kind);
void macstub_fail_next(const char *call, unsigned code, int null_result, int after);
}

namespace {

io_iterator_t matching(mach_port_t port, int vid, int pid) {
    CFMutableDictionaryRef dict = IOServiceMatching("IOUSBDevice");
    SInt32 ids[2] = {vid, pid};
    for (int i = 0; i < 2; i++) {
        CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &ids[i]);
        CFDictionaryAddValue(dict, i ? CFSTR("idProduct") : CFSTR("idVendor"), n);
        CFRelease(n);
    }
    io_iterator_t it = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(port, dict, &it), 0);
    return it;
}

TEST(MacStub, CreateRuleAndRetainedDictionaryValues) {
    macstub_reset();
    SInt32 v = 7;
    CFNumberRef n = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &v);
    EXPECT_EQ(macstub_live("cf"), 1);  // the creator owns one reference
    CFMutableDictionaryRef d = IOServiceMatching("IOUSBDevice");
    CFDictionaryAddValue(d, CFSTR("idVendor"), n);
    CFRelease(n);
    EXPECT_EQ(macstub_live("cf"), 2);  // the dictionary keeps the number
    CFRelease(d);
    EXPECT_EQ(macstub_live("cf"), 0);
}

TEST(MacStub, MatchingConsumesTheDictionaryAndIteratorsEndWithZero) {
    macstub_reset();
    macstub_add_device(1, 2, "A");
    macstub_add_device(1, 3, "B");
    macstub_add_device(1, 2, "C");
    mach_port_t port = MACH_PORT_NULL;
    ASSERT_EQ(IOMasterPort(MACH_PORT_NULL, &port), 0);
    io_iterator_t it = matching(port, 1, 2);
    EXPECT_EQ(macstub_live("cf"), 0);  // consumed
    int seen = 0;
    while (io_service_t s = IOIteratorNext(it)) {
        EXPECT_EQ(macstub_live("service"), 1);  // the caller owns each one
        IOObjectRelease(s);
        seen++;
    }
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(IOIteratorNext(it), 0u);  // and stays at the end
    IOObjectRelease(it);
    // Consumed on failure too.
    macstub_fail_next("IOServiceGetMatchingServices", 0xe00002bc, 0, 0);
    CFMutableDictionaryRef dict = IOServiceMatching("IOUSBDevice");
    io_iterator_t none = 0;
    EXPECT_NE(IOServiceGetMatchingServices(port, dict, &none), 0);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(macstub_live("cf"), 0);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), 0);
    EXPECT_EQ(macstub_live(nullptr), 0);
}

TEST(MacStub, PlugInsAndQueryInterface) {
    macstub_reset();
    macstub_add_device(1, 2, "A");
    mach_port_t port = MACH_PORT_NULL;
    IOMasterPort(MACH_PORT_NULL, &port);
    io_iterator_t it = matching(port, 1, 2);
    io_service_t s = IOIteratorNext(it);
    IOCFPlugInInterface **plugin = nullptr;
    SInt32 score;
    // The wrong plug-in type for a device service is refused.
    EXPECT_NE(IOCreatePlugInInterfaceForService(s, kIOUSBInterfaceUserClientTypeID, kIOCFPlugInInterfaceID,
                                                &plugin, &score), 0);
    EXPECT_EQ(plugin, nullptr);
    ASSERT_EQ(IOCreatePlugInInterfaceForService(s, kIOUSBDeviceUserClientTypeID, kIOCFPlugInInterfaceID,
                                                &plugin, &score), 0);
    void *out = reinterpret_cast<void *>(1);
    // An interface it does not have: failure, and the out-parameter NULL.
    EXPECT_NE((*plugin)->QueryInterface(plugin, CFUUIDGetUUIDBytes(kIOUSBInterfaceInterfaceID245), &out), 0);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ((*plugin)->QueryInterface(plugin, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID245), &out), 0);
    IODestroyPlugInInterface(plugin);
    IOUSBDeviceInterface245 **dev = static_cast<IOUSBDeviceInterface245 **>(out);
    EXPECT_EQ(macstub_live("device"), 1);  // outlives the plug-in; the caller owns it
    EXPECT_EQ((*dev)->USBDeviceOpen(dev), 0);
    EXPECT_EQ((*dev)->USBDeviceOpen(dev), kIOReturnExclusiveAccess);
    EXPECT_EQ((*dev)->Release(dev), 0u);  // the last reference
    EXPECT_EQ(macstub_live("device"), 0);
    IOObjectRelease(s);
    IOObjectRelease(it);
    mach_port_deallocate(mach_task_self(), port);
    EXPECT_EQ(macstub_live(nullptr), 0);
}

}  // namespace
