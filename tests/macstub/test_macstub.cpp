// The stand-in keeps to the documented ownership and call rules that the
// module relies on, so a test passing against it means something on a Mac.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>
#include <gtest/gtest.h>
#include <mach/mach.h>

#include <chrono>
#include <string>
#include <thread>

extern "C" {
void macstub_reset(void);
int macstub_add_device(int vid, int pid, const char *serial);
int macstub_live(const char *kind);
void macstub_fail_next(const char *call, unsigned code, int null_result, int after);
void macstub_queue_data(int dev, int pipe, const char *bytes, int len);
void macstub_queue_timeouts(int dev, int pipe, int count);
int macstub_abort_pipe(int dev, int pipe);
void macstub_hold_writes(int dev, int pipe, int held);
int macstub_waiting(int dev, int pipe);
void macstub_set_block_limit(int ms);
int macstub_gave_up(void);
int macstub_read_call(int dev, int n, unsigned *out);
int macstub_request(int dev, int n, unsigned *out);
int macstub_search(int dev, int n, unsigned *out);
int macstub_written(int dev, int pipe, int n, char *out, int cap);
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

const IOReturn kAborted = (IOReturn)0xe00002eb, kNotResponding = (IOReturn)0xe00002ed;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Waits (at most 10 s) until count transfers are blocked on the pipe.
bool blocked(int dev, int pipe, int count = 1) {
    for (int i = 0; i < 10000 && macstub_waiting(dev, pipe) < count; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return macstub_waiting(dev, pipe) >= count;
}

template <typename T>
T *queried(io_service_t service, CFUUIDRef pluginType, CFUUIDRef iid) {
    IOCFPlugInInterface **plugin = nullptr;
    SInt32 score;
    if (IOCreatePlugInInterfaceForService(service, pluginType, kIOCFPlugInInterfaceID, &plugin, &score) != 0)
        return nullptr;
    void *out = nullptr;
    (*plugin)->QueryInterface(plugin, CFUUIDGetUUIDBytes(iid), &out);
    IODestroyPlugInInterface(plugin);
    return static_cast<T *>(out);
}

// The first device matching (1, 2), opened, and (with configure) its first
// interface opened; everything given back by close().
struct Opened {
    mach_port_t port = MACH_PORT_NULL;
    IOUSBDeviceInterface245 **dev = nullptr;
    IOUSBInterfaceInterface245 **intf = nullptr;

    explicit Opened(bool configure = true) {
        IOMasterPort(MACH_PORT_NULL, &port);
        io_iterator_t it = matching(port, 1, 2);
        io_service_t s = IOIteratorNext(it);
        dev = queried<IOUSBDeviceInterface245 *>(s, kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID245);
        IOObjectRelease(s);
        IOObjectRelease(it);
        EXPECT_EQ((*dev)->USBDeviceOpen(dev), 0);
        if (!configure) return;
        EXPECT_EQ((*dev)->SetConfiguration(dev, 1), 0);
        IOUSBFindInterfaceRequest req = {kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare,
                                         kIOUSBFindInterfaceDontCare, kIOUSBFindInterfaceDontCare};
        io_iterator_t interfaces = 0;
        EXPECT_EQ((*dev)->CreateInterfaceIterator(dev, &req, &interfaces), 0);
        io_service_t first = IOIteratorNext(interfaces);
        intf = queried<IOUSBInterfaceInterface245 *>(first, kIOUSBInterfaceUserClientTypeID,
                                                     kIOUSBInterfaceInterfaceID245);
        IOObjectRelease(first);
        IOObjectRelease(interfaces);
        EXPECT_EQ((*intf)->USBInterfaceOpen(intf), 0);
    }
    void close() {
        if (intf) {
            (*intf)->USBInterfaceClose(intf);
            (*intf)->Release(intf);
        }
        (*dev)->USBDeviceClose(dev);
        (*dev)->Release(dev);
        mach_port_deallocate(mach_task_self(), port);
    }
};

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

TEST(MacStub, UntimedReadsBlockUntilDataOrAbort) {
    macstub_reset();
    macstub_add_device(1, 2, "A");
    Opened o;
    char buf[64];
    UInt32 size = sizeof buf;
    IOReturn r = 1;
    // Nothing queued: the read waits until data is posted from elsewhere.
    std::thread reader([&] { r = (*o.intf)->ReadPipe(o.intf, 2, buf, &size); });
    ASSERT_TRUE(blocked(0, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(macstub_waiting(0, 2), 1);  // still blocked
    macstub_queue_data(0, 2, "late", 4);
    reader.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(std::string(buf, size), "late");
    EXPECT_EQ(macstub_waiting(0, 2), 0);
    // An abort ends every blocked read of that pipe, and no later one.
    EXPECT_EQ(macstub_abort_pipe(0, 2), 0);
    IOReturn r2 = 1;
    UInt32 size2 = sizeof buf;
    char buf2[64];
    size = sizeof buf;
    std::thread a([&] { r = (*o.intf)->ReadPipe(o.intf, 2, buf, &size); });
    std::thread b([&] { r2 = (*o.intf)->ReadPipe(o.intf, 2, buf2, &size2); });
    ASSERT_TRUE(blocked(0, 2, 2));
    EXPECT_EQ(macstub_abort_pipe(0, 1), 0);  // another pipe: nothing ends
    EXPECT_EQ(macstub_abort_pipe(0, 2), 2);
    a.join();
    b.join();
    EXPECT_EQ(r, kAborted);
    EXPECT_EQ(r2, kAborted);
    EXPECT_EQ(size, 0u);
    macstub_queue_data(0, 2, "x", 1);
    size = sizeof buf;
    EXPECT_EQ((*o.intf)->ReadPipe(o.intf, 2, buf, &size), 0);
    EXPECT_EQ(macstub_gave_up(), 0);
    o.close();
    EXPECT_EQ(macstub_live(nullptr), 0);
}

TEST(MacStub, ABlockedTransferGivesUpAtTheLimitAndResetEndsIt) {
    macstub_reset();
    macstub_add_device(1, 2, "A");
    Opened o;
    char buf[64];
    UInt32 size = sizeof buf;
    macstub_set_block_limit(50);
    testing::internal::CaptureStderr();
    Clock::time_point t = Clock::now();
    EXPECT_EQ((*o.intf)->ReadPipe(o.intf, 2, buf, &size), kNotResponding);
    EXPECT_GE(msSince(t), 50);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("ReadPipe on pipe 2 of device 0 blocked for 50 ms"), std::string::npos) << said;
    EXPECT_EQ(macstub_gave_up(), 1);
    // A reset ends blocked transfers (the device is gone) and restores the limit.
    IOReturn r = 1;
    std::thread reader([&] { r = (*o.intf)->ReadPipe(o.intf, 2, buf, &size); });
    ASSERT_TRUE(blocked(0, 2));
    macstub_reset();
    reader.join();
    EXPECT_EQ(r, kIOReturnNoDevice);
    EXPECT_EQ(macstub_gave_up(), 0);
    o.close();
    EXPECT_EQ(macstub_live(nullptr), 0);
}

TEST(MacStub, TimedReadsEndAtTheShorterTimeoutAndRecordBoth) {
    macstub_reset();
    macstub_add_device(1, 2, "A");
    Opened o;
    static char buf[0x1000];
    UInt32 size = sizeof buf;
    // Nothing comes: the attempt lasts its completion timeout, not the longer no-data one.
    Clock::time_point t = Clock::now();
    EXPECT_EQ((*o.intf)->ReadPipeTO(o.intf, 1, buf, &size, 5000, 60), kIOUSBTransactionTimeout);
    long took = msSince(t);
    EXPECT_GE(took, 60);
    EXPECT_LT(took, 2500);
    EXPECT_EQ(size, 0u);
    // The no-data timeout, when it is the shorter one.
    size = sizeof buf;
    t = Clock::now();
    EXPECT_EQ((*o.intf)->ReadPipeTO(o.intf, 1, buf, &size, 40, 5000), kIOUSBTransactionTimeout);
    took = msSince(t);
    EXPECT_GE(took, 40);
    EXPECT_LT(took, 2500);
    // A scripted timeout takes as long; data posted meanwhile waits for the next attempt.
    macstub_queue_timeouts(0, 1, 1);
    size = sizeof buf;
    t = Clock::now();
    std::thread poster([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        macstub_queue_data(0, 1, "video", 5);
    });
    EXPECT_EQ((*o.intf)->ReadPipeTO(o.intf, 1, buf, &size, 1000, 80), kIOUSBTransactionTimeout);
    EXPECT_GE(msSince(t), 80);
    poster.join();
    size = sizeof buf;
    EXPECT_EQ((*o.intf)->ReadPipeTO(o.intf, 1, buf, &size, 1000, 80), 0);
    EXPECT_EQ(std::string(buf, size), "video");
    // Data posted during a wait ends it at once.
    size = sizeof buf;
    IOReturn r = 1;
    t = Clock::now();
    std::thread reader([&] { r = (*o.intf)->ReadPipeTO(o.intf, 1, buf, &size, 8000, 8000); });
    ASSERT_TRUE(blocked(0, 1));
    macstub_queue_data(0, 1, "now", 3);
    reader.join();
    EXPECT_EQ(r, 0);
    EXPECT_LT(msSince(t), 4000);
    // Every read is recorded with what it asked for.
    unsigned rec[5];
    const unsigned want[][5] = {{1, sizeof buf, 1, 5000, 60}, {1, sizeof buf, 1, 40, 5000},
                                {1, sizeof buf, 1, 1000, 80}, {1, sizeof buf, 1, 1000, 80},
                                {1, sizeof buf, 1, 8000, 8000}};
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(macstub_read_call(0, i, rec), 0);
        for (int k = 0; k < 5; k++) EXPECT_EQ(rec[k], want[i][k]) << i << " " << k;
    }
    EXPECT_EQ(macstub_read_call(0, 5, rec), -1);
    o.close();
}

TEST(MacStub, HeldWritesBlockUntilReleasedOrAborted) {
    macstub_reset();
    macstub_add_device(1, 2, "A");
    Opened o;
    char out[8];
    macstub_hold_writes(0, 3, 1);
    IOReturn r = 1;
    std::thread writer([&] { r = (*o.intf)->WritePipe(o.intf, 3, (void *)"abc", 3); });
    ASSERT_TRUE(blocked(0, 3));
    EXPECT_EQ(macstub_written(0, 3, 0, out, sizeof out), -1);  // not taken yet
    macstub_hold_writes(0, 3, 0);
    writer.join();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(macstub_written(0, 3, 0, out, sizeof out), 3);
    macstub_hold_writes(0, 3, 1);
    std::thread aborted([&] { r = (*o.intf)->WritePipe(o.intf, 3, (void *)"zz", 2); });
    ASSERT_TRUE(blocked(0, 3));
    EXPECT_EQ(macstub_abort_pipe(0, 3), 1);
    aborted.join();
    EXPECT_EQ(r, kAborted);
    EXPECT_EQ(macstub_written(0, 3, 1, out, sizeof out), -1);  // an aborted write delivers nothing
    o.close();
}

TEST(MacStub, UnconfiguredDevicesHaveNoInterfacesAndRequestsAreRecorded) {
    macstub_reset();
    macstub_add_device(1, 2, "A");
    Opened o(false);
    // Before SetConfiguration: an iterator, but no interface in it.
    IOUSBFindInterfaceRequest req = {3, 0, kIOUSBFindInterfaceDontCare, 1};
    io_iterator_t it = 0;
    EXPECT_EQ((*o.dev)->CreateInterfaceIterator(o.dev, &req, &it), 0);
    EXPECT_EQ(IOIteratorNext(it), 0u);
    IOObjectRelease(it);
    unsigned rec[5];
    ASSERT_EQ(macstub_search(0, 0, rec), 0);
    EXPECT_EQ(rec[0], 3u);
    EXPECT_EQ(rec[1], 0u);
    EXPECT_EQ(rec[2], (unsigned)kIOUSBFindInterfaceDontCare);
    EXPECT_EQ(rec[3], 1u);
    EXPECT_EQ(macstub_search(0, 1, rec), -1);
    // Device requests, stalled ones too, with every field.
    UInt8 buf[255];
    IOUSBDevRequest dr = {0x80, 0x06, 0x0303, 0x0409, 255, buf, 0};
    EXPECT_EQ((*o.dev)->DeviceRequest(o.dev, &dr), 0);
    IOUSBDevRequest bad = {0x40, 0x01, 2, 7, 0, buf, 0};
    EXPECT_NE((*o.dev)->DeviceRequest(o.dev, &bad), 0);
    const unsigned want[][5] = {{0x80, 6, 0x0303, 0x0409, 255}, {0x40, 1, 2, 7, 0}};
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(macstub_request(0, i, rec), 0);
        for (int k = 0; k < 5; k++) EXPECT_EQ(rec[k], want[i][k]) << i << " " << k;
    }
    EXPECT_EQ(macstub_request(0, 2, rec), -1);
    // Kept up to 1,000 of each: long runs do not grow the stand-in.
    for (int i = 0; i < 1200; i++) (*o.dev)->DeviceRequest(o.dev, &bad);
    EXPECT_EQ(macstub_request(0, 999, rec), 0);
    EXPECT_EQ(macstub_request(0, 1000, rec), -1);
    o.close();
    EXPECT_EQ(macstub_live(nullptr), 0);
}

}  // namespace
