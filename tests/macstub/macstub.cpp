// Test equipment: a simulated USB registry behind the CoreFoundation, IOKit
// and Mach calls declared in include/, so that python/macusb runs on Linux.
// Tests script it through the macstub_* control functions (see README.md)
// and read back what the module did: objects still alive, calls made,
// bytes written to pipes, device state.
//
// Ownership follows the documented rules: Create-rule CF objects start with
// one reference that CFRelease gives back, CFDictionaryAddValue retains its
// value, IOServiceGetMatchingServices consumes the dictionary, IOIteratorNext
// hands out services the caller releases and returns 0 at the end,
// QueryInterface sets its out-parameter (to NULL when it fails) and the
// interface it returns carries one reference.
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>
#include <mach/mach.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"

namespace {

// Errors the simulation answers with where no test scripted one.
const IOReturn kIOReturnUnsupported = (IOReturn)0xe00002c7;
const IOReturn kIOReturnNotOpen = (IOReturn)0xe00002cd;
const IOReturn kIOReturnNotResponding = (IOReturn)0xe00002ed;
const IOReturn kIOReturnBadArgument = (IOReturn)0xe00002c2;
const IOReturn kIOUSBPipeStalled = (IOReturn)0xe000404f;
const IOReturn kIOReturnAborted = (IOReturn)0xe00002eb;
const HRESULT E_NOINTERFACE = (HRESULT)0x80000004;

struct PipeEvent {
    int kind;  // 0 data, 1 timeout, 2 error
    std::string data;
    IOReturn code;
};

// What one ReadPipe or ReadPipeTO call asked for (timeouts 0 for ReadPipe).
struct PipeRead {
    int pipe;
    UInt32 size;
    bool timed;
    UInt32 noData, completion;
};

// The fields of a DeviceRequest as the caller filled them in.
struct Request {
    UInt8 bmRequestType, bRequest;
    UInt16 wValue, wIndex, wLength;
};

// Reads, requests and searches are recorded up to this many of each per
// device, so that long leak runs measure the module, not the records.
const size_t maxRecords = 1000;
template <typename T>
void record(std::vector<T> &records, const T &r) {
    if (records.size() < maxRecords) records.push_back(r);
}

struct Device {
    UInt16 vid = 0, pid = 0;
    UInt8 serialIndex = 3;
    std::map<int, std::string> strings;  // index -> descriptor bytes as delivered
    std::string deviceDescriptor, configDescriptor;
    int configurations = 1;
    std::vector<int> interfaces{3};  // endpoints of each interface
    std::map<int, std::deque<PipeEvent>> pipes;
    std::map<int, std::vector<std::string>> writes;
    std::map<int, bool> writesHeld;     // the device takes no data on the pipe
    std::map<int, unsigned> aborts;     // AbortPipe count of each pipe
    std::map<int, int> waiting;         // transfers blocked on each pipe now
    std::vector<PipeRead> reads;
    std::vector<Request> requests;
    std::vector<IOUSBFindInterfaceRequest> searches;
    UInt8 speed = kUSBDeviceSpeedHigh;
    bool heldElsewhere = false;
    int openCount = 0, interfaceOpen = 0, resets = 0;
    int configuration = -1;
};

struct Failure {
    IOReturn code;
    bool nullResult;
    int after;  // calls that still succeed before this one fails
};

using macstub::CfObject;

struct IoObject {
    int kind;  // 1 master port, 2 device service, 3 interface service, 4 iterator
    int device, interface;
    std::vector<std::pair<int, int>> items;  // what an iterator still yields
    size_t next;
};

struct PlugIn {
    IOCFPlugInInterface *table;  // IOCFPlugInInterface ** points here
    int kind;                    // 2 device, 3 interface
    int device, interface;
};

struct DeviceObject {
    IOUSBDeviceInterface245 *table;
    int device;
    int refs;
    bool open;
};

struct InterfaceObject {
    IOUSBInterfaceInterface245 *table;
    int device, interface;
    int refs;
    bool open;
};

std::recursive_mutex lock;  // pipe calls run without the interpreter lock; calls nest
std::vector<Device> devices;
std::map<std::string, std::deque<Failure>> failures;
std::map<std::string, int> calls;
std::map<std::string, int> live;
std::map<io_object_t, IoObject> ioObjects;
io_object_t nextObject = 0x1000;

// Blocked transfers wait on this (with `lock`) for data, a released pipe, an
// abort or a reset. None waits longer than blockLimitMs: a test that forgot
// to post or abort fails instead of hanging.
using Clock = std::chrono::steady_clock;
std::condition_variable_any pipeChanged;
unsigned generation = 0;  // bumped by macstub_reset: the devices are gone
const int defaultBlockLimitMs = 10000;
int blockLimitMs = defaultBlockLimitMs;
int gaveUp = 0;

void born(const char *kind) { live[kind]++; }
void died(const char *kind) { live[kind]--; }

// Counts the call and answers with an injected failure, if one is queued.
bool injected(const char *call, IOReturn *code, bool *nullResult = nullptr) {
    calls[call]++;
    auto it = failures.find(call);
    if (it == failures.end() || it->second.empty()) return false;
    if (it->second.front().after > 0) {
        it->second.front().after--;
        return false;
    }
    Failure f = it->second.front();
    it->second.pop_front();
    *code = f.code;
    if (nullResult) *nullResult = f.nullResult;
    return true;
}

}  // namespace

namespace macstub {
std::recursive_mutex &stubLock() { return lock; }
bool injected(const char *call, IOReturn *code, bool *nullResult) { return ::injected(call, code, nullResult); }
void count(const char *call) { calls[call]++; }
void born(const char *kind) { ::born(kind); }
void died(const char *kind) { ::died(kind); }
}  // namespace macstub

namespace {

Device *deviceAt(int index) {
    return index >= 0 && index < (int)devices.size() ? &devices[index] : nullptr;
}

const char *objectKindName(int kind) {
    static const char *const names[] = {"", "port", "service", "service", "iterator"};
    return names[kind];
}

io_object_t newObject(int kind, int device, int interface) {
    io_object_t id = nextObject++;
    ioObjects[id] = IoObject{kind, device, interface, {}, 0};
    born(objectKindName(kind));
    return id;
}

bool sameUuid(const CFUUIDBytes &a, CFUUIDRef b) {
    return memcmp(&a, b, sizeof a) == 0;
}

// ---- the device interface ------------------------------------------------------

DeviceObject *deviceObjectOf(void *self) {
    return reinterpret_cast<DeviceObject *>(reinterpret_cast<char *>(self) - offsetof(DeviceObject, table));
}
InterfaceObject *interfaceObjectOf(void *self) {
    return reinterpret_cast<InterfaceObject *>(reinterpret_cast<char *>(self) -
                                               offsetof(InterfaceObject, table));
}

HRESULT noQuery(void *, REFIID, LPVOID *ppv) {
    *ppv = nullptr;
    return E_NOINTERFACE;
}
ULONG noAddRef(void *) { return 1; }

ULONG devAddRef(void *self) { return ++deviceObjectOf(self)->refs; }
ULONG devRelease(void *self) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    bool fails = injected("DeviceRelease", &code);  // released all the same
    DeviceObject *d = deviceObjectOf(self);
    int refs = --d->refs;
    if (refs == 0) {
        // Letting go of an open device closes it.
        if (d->open)
            if (Device *dev = deviceAt(d->device)) dev->openCount--;
        delete d;
        died("device");
    }
    return fails ? (ULONG)code : (ULONG)refs;
}
IOReturn devOpen(void *self) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("USBDeviceOpen", &code)) return code;
    DeviceObject *d = deviceObjectOf(self);
    Device *dev = deviceAt(d->device);
    if (!dev) return kIOReturnNoDevice;
    if (d->open) return kIOReturnExclusiveAccess;
    if (dev->heldElsewhere || dev->openCount > 0) return kIOReturnExclusiveAccess;
    dev->openCount++;
    d->open = true;
    return 0;
}
IOReturn devClose(void *self) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("USBDeviceClose", &code)) return code;
    DeviceObject *d = deviceObjectOf(self);
    if (!d->open) return kIOReturnNotOpen;
    d->open = false;
    if (Device *dev = deviceAt(d->device)) dev->openCount--;
    return 0;
}
IOReturn devSpeed(void *self, UInt8 *speed) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("GetDeviceSpeed", &code)) return code;
    Device *dev = deviceAt(deviceObjectOf(self)->device);
    if (!dev) return kIOReturnNoDevice;
    *speed = dev->speed;
    return 0;
}
IOReturn devConfigurations(void *self, UInt8 *count) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("GetNumberOfConfigurations", &code)) return code;
    Device *dev = deviceAt(deviceObjectOf(self)->device);
    if (!dev) return kIOReturnNoDevice;
    *count = (UInt8)dev->configurations;
    return 0;
}
IOReturn devConfigDescriptor(void *self, UInt8 index, IOUSBConfigurationDescriptorPtr *desc) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    bool null = false;
    if (injected("GetConfigurationDescriptorPtr", &code, &null)) {
        if (null) *desc = nullptr;
        return code;
    }
    Device *dev = deviceAt(deviceObjectOf(self)->device);
    if (!dev) return kIOReturnNoDevice;
    if (index >= dev->configurations || dev->configDescriptor.size() < 9) return kIOReturnBadArgument;
    // Owned by the simulated family, as the real one owns its copy.
    *desc = reinterpret_cast<IOUSBConfigurationDescriptorPtr>(&dev->configDescriptor[0]);
    return 0;
}
IOReturn devSetConfiguration(void *self, UInt8 value) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("SetConfiguration", &code)) return code;
    DeviceObject *d = deviceObjectOf(self);
    Device *dev = deviceAt(d->device);
    if (!dev) return kIOReturnNoDevice;
    if (!d->open) return kIOReturnNotOpen;
    dev->configuration = value;
    return 0;
}
IOReturn devReset(void *self) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("ResetDevice", &code)) return code;
    DeviceObject *d = deviceObjectOf(self);
    Device *dev = deviceAt(d->device);
    if (!dev) return kIOReturnNoDevice;
    if (!d->open) return kIOReturnNotOpen;
    dev->resets++;
    return 0;
}
IOReturn devRequest(void *self, IOUSBDevRequest *req) {
    std::lock_guard<std::recursive_mutex> g(lock);
    Device *dev = deviceAt(deviceObjectOf(self)->device);
    if (dev)
        record(dev->requests, Request{req->bmRequestType, req->bRequest, req->wValue, req->wIndex, req->wLength});
    IOReturn code;
    if (injected("DeviceRequest", &code)) return code;
    if (!dev) return kIOReturnNoDevice;
    if (req->bmRequestType != 0x80 || req->bRequest != 0x06) return kIOUSBPipeStalled;
    int type = req->wValue >> 8, index = req->wValue & 0xFF;
    const std::string *answer = nullptr;
    if (type == 3) {
        auto it = dev->strings.find(index);
        if (it != dev->strings.end()) answer = &it->second;
    } else if (type == 1 && index == 0) {
        answer = &dev->deviceDescriptor;
    } else if (type == 2 && index == 0) {
        answer = &dev->configDescriptor;
    }
    if (!answer) return kIOUSBPipeStalled;
    size_t n = answer->size() < req->wLength ? answer->size() : req->wLength;
    memcpy(req->pData, answer->data(), n);
    req->wLenDone = (UInt32)n;
    return 0;
}
IOReturn devInterfaces(void *self, IOUSBFindInterfaceRequest *req, io_iterator_t *iter) {
    std::lock_guard<std::recursive_mutex> g(lock);
    DeviceObject *d = deviceObjectOf(self);
    Device *dev = deviceAt(d->device);
    if (dev) record(dev->searches, *req);
    IOReturn code;
    if (injected("CreateInterfaceIterator", &code)) return code;
    if (!dev) return kIOReturnNoDevice;
    // The interfaces are those of the active configuration: a device never
    // configured has none, and its iterator yields nothing.
    io_object_t it = newObject(4, d->device, -1);
    if (dev->configuration >= 0)
        for (size_t i = 0; i < dev->interfaces.size(); i++) ioObjects[it].items.push_back({d->device, (int)i});
    *iter = it;
    return 0;
}
IOReturn devSerialIndex(void *self, UInt8 *index) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("USBGetSerialNumberStringIndex", &code)) return code;
    Device *dev = deviceAt(deviceObjectOf(self)->device);
    if (!dev) return kIOReturnNoDevice;
    *index = dev->serialIndex;
    return 0;
}

IOUSBDeviceInterface245 deviceTable = {
    nullptr, noQuery, devAddRef, devRelease, devOpen, devClose, devSpeed, devConfigurations,
    devConfigDescriptor, devSetConfiguration, devReset, devRequest, devInterfaces, devSerialIndex,
};

// ---- the interface interface ----------------------------------------------------

ULONG intfAddRef(void *self) { return ++interfaceObjectOf(self)->refs; }
ULONG intfRelease(void *self) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    bool fails = injected("InterfaceRelease", &code);  // released all the same
    InterfaceObject *o = interfaceObjectOf(self);
    int refs = --o->refs;
    if (refs == 0) {
        if (o->open)
            if (Device *dev = deviceAt(o->device)) dev->interfaceOpen--;
        delete o;
        died("interface");
    }
    return fails ? (ULONG)code : (ULONG)refs;
}
IOReturn intfOpen(void *self) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("USBInterfaceOpen", &code)) return code;
    InterfaceObject *o = interfaceObjectOf(self);
    Device *dev = deviceAt(o->device);
    if (!dev) return kIOReturnNoDevice;
    if (o->open) return kIOReturnExclusiveAccess;
    o->open = true;
    dev->interfaceOpen++;
    return 0;
}
IOReturn intfClose(void *self) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("USBInterfaceClose", &code)) return code;
    InterfaceObject *o = interfaceObjectOf(self);
    if (!o->open) return kIOReturnNotOpen;
    o->open = false;
    if (Device *dev = deviceAt(o->device)) dev->interfaceOpen--;
    return 0;
}
IOReturn intfEndpoints(void *self, UInt8 *count) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("GetNumEndpoints", &code)) return code;
    InterfaceObject *o = interfaceObjectOf(self);
    Device *dev = deviceAt(o->device);
    if (!dev) return kIOReturnNoDevice;
    *count = (UInt8)dev->interfaces[o->interface];
    return 0;
}

// Blocks a transfer on (device, pipe) until ready(device) holds (0), the
// deadline passes (kIOUSBTransactionTimeout), the pipe is aborted
// (kIOReturnAborted) or the registry is reset (kIOReturnNoDevice). Past the
// block limit it gives up with kIOReturnNotResponding and says so on
// standard error. The device is looked up afresh after every wake-up, as
// devices may be added meanwhile.
template <typename Ready>
IOReturn waitOnPipe(std::unique_lock<std::recursive_mutex> &g, const char *call, int device, int pipe,
                    const Clock::time_point *deadline, Ready ready) {
    const unsigned gen = generation;
    const unsigned epoch = devices[device].aborts[pipe];
    const Clock::time_point start = Clock::now();
    const Clock::time_point limit = start + std::chrono::milliseconds(blockLimitMs);
    devices[device].waiting[pipe]++;
    IOReturn end;
    for (;;) {
        if (generation != gen) return kIOReturnNoDevice;  // its waiting count went with it
        Device &dev = devices[device];
        if (dev.aborts[pipe] != epoch) {
            end = kIOReturnAborted;
            break;
        }
        if (ready(dev)) {
            end = 0;
            break;
        }
        Clock::time_point now = Clock::now();
        if (deadline && now >= *deadline) {
            end = kIOUSBTransactionTimeout;
            break;
        }
        if (now >= limit) {
            gaveUp++;
            fprintf(stderr,
                    "macstub: %s on pipe %d of device %d blocked for %d ms with nothing posted, "
                    "released or aborted; giving up\n",
                    call, pipe, device, blockLimitMs);
            end = kIOReturnNotResponding;
            break;
        }
        pipeChanged.wait_until(g, deadline && *deadline < limit ? *deadline : limit);
    }
    devices[device].waiting[pipe]--;
    return end;
}

// ReadPipe (untimed) and ReadPipeTO: the next scripted event of an input
// pipe, waited for while there is none. A timed read ends when nothing has
// come within the shorter of its timeouts (0: that timeout is off; both 0:
// untimed); a scripted timeout makes the attempt wait that long for nothing.
IOReturn readEvent(const char *call, void *self, UInt8 pipe, void *buf, UInt32 *size, bool timed,
                   UInt32 noData, UInt32 completion) {
    std::unique_lock<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected(call, &code)) return code;
    InterfaceObject *o = interfaceObjectOf(self);
    Device *dev = deviceAt(o->device);
    if (!dev) return kIOReturnNoDevice;
    if (!o->open) return kIOReturnNotOpen;
    if (pipe < 1 || pipe > dev->interfaces[o->interface]) return kIOReturnBadArgument;
    record(dev->reads, PipeRead{pipe, *size, timed, noData, completion});
    UInt32 waitMs = 0;
    if (timed) waitMs = noData && completion ? std::min(noData, completion) : std::max(noData, completion);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::deque<PipeEvent> *q = &dev->pipes[pipe];
    bool nothingComes = waitMs && !q->empty() && q->front().kind == 1;
    if (nothingComes) q->pop_front();
    IOReturn r = waitOnPipe(g, call, o->device, pipe, waitMs ? &deadline : nullptr,
                            [&](Device &d) { return !nothingComes && !d.pipes[pipe].empty(); });
    if (r != 0) {
        *size = 0;
        return r;
    }
    q = &devices[o->device].pipes[pipe];
    PipeEvent e = q->front();
    q->pop_front();
    if (e.kind == 1) {  // scripted for an untimed read: answered at once
        *size = 0;
        return kIOUSBTransactionTimeout;
    }
    if (e.kind == 2) return e.code;
    UInt32 n = e.data.size() < *size ? (UInt32)e.data.size() : *size;
    memcpy(buf, e.data.data(), n);
    *size = n;
    return 0;
}
IOReturn intfReadPipe(void *self, UInt8 pipe, void *buf, UInt32 *size) {
    return readEvent("ReadPipe", self, pipe, buf, size, false, 0, 0);
}
IOReturn intfReadPipeTO(void *self, UInt8 pipe, void *buf, UInt32 *size, UInt32 noData, UInt32 completion) {
    return readEvent("ReadPipeTO", self, pipe, buf, size, true, noData, completion);
}
// Takes the data once the device accepts it: at once, or when a held pipe
// is released.
IOReturn intfWritePipe(void *self, UInt8 pipe, void *buf, UInt32 size) {
    std::unique_lock<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("WritePipe", &code)) return code;
    InterfaceObject *o = interfaceObjectOf(self);
    Device *dev = deviceAt(o->device);
    if (!dev) return kIOReturnNoDevice;
    if (!o->open) return kIOReturnNotOpen;
    if (pipe < 1 || pipe > dev->interfaces[o->interface]) return kIOReturnBadArgument;
    IOReturn r = waitOnPipe(g, "WritePipe", o->device, pipe, nullptr,
                            [&](Device &d) { return !d.writesHeld[pipe]; });
    if (r != 0) return r;
    devices[o->device].writes[pipe].push_back(std::string(static_cast<const char *>(buf), size));
    return 0;
}

IOUSBInterfaceInterface245 interfaceTable = {
    nullptr, noQuery, intfAddRef, intfRelease, intfOpen, intfClose, intfEndpoints,
    intfReadPipe, intfWritePipe, intfReadPipeTO,
};

// ---- plug-ins ---------------------------------------------------------------------

PlugIn *plugInOf(void *self) {
    return reinterpret_cast<PlugIn *>(reinterpret_cast<char *>(self) - offsetof(PlugIn, table));
}
HRESULT plugInQuery(void *self, REFIID iid, LPVOID *ppv) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    bool null = false;
    *ppv = nullptr;
    if (injected("QueryInterface", &code, &null)) return code;
    PlugIn *p = plugInOf(self);
    if (p->kind == 2 && sameUuid(iid, kIOUSBDeviceInterfaceID245)) {
        DeviceObject *d = new DeviceObject{&deviceTable, p->device, 1, false};
        born("device");
        *ppv = &d->table;
        return 0;
    }
    if (p->kind == 3 && sameUuid(iid, kIOUSBInterfaceInterfaceID245)) {
        InterfaceObject *o = new InterfaceObject{&interfaceTable, p->device, p->interface, 1, false};
        born("interface");
        *ppv = &o->table;
        return 0;
    }
    return E_NOINTERFACE;
}
IOCFPlugInInterface plugInTable = {nullptr, plugInQuery, noAddRef, noAddRef, 1, 0, nullptr, nullptr, nullptr};

}  // namespace

// ---- CoreFoundation -----------------------------------------------------------------

extern "C" {

struct __CFAllocator {
    int unused;
};
static __CFAllocator defaultAllocator;
const CFAllocatorRef kCFAllocatorDefault = &defaultAllocator;
mach_port_t mach_task_self_ = 0x103;

void CFRelease(CFTypeRef cf) {
    std::lock_guard<std::recursive_mutex> g(lock);
    calls["CFRelease"]++;
    CfObject *o = const_cast<CfObject *>(static_cast<const CfObject *>(cf));
    if (--o->refs > 0) return;
    if (o->kind >= 3) {
        macstub::freeKeytapObject(o);
        return;
    }
    for (auto &e : o->entries) {
        CfObject *value = const_cast<CfObject *>(e.second);
        if (--value->refs == 0) {
            delete value;
            died("cf");
        }
    }
    delete o;
    died("cf");
}

CFStringRef __CFStringMakeConstantString(const char *cStr) {
    // Constant strings live for the process, as the real ones do.
    static std::map<std::string, std::string> strings;  // nodes never move
    std::lock_guard<std::recursive_mutex> g(lock);
    std::string &s = strings.emplace(cStr, cStr).first->second;
    return reinterpret_cast<CFStringRef>(&s);
}

CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void *valuePtr) {
    (void)allocator;
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("CFNumberCreate", &code)) return nullptr;
    if (theType != kCFNumberSInt32Type) return nullptr;
    CfObject *o = new CfObject{1, 1, *static_cast<const SInt32 *>(valuePtr), {}};
    born("cf");
    return reinterpret_cast<CFNumberRef>(o);
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
    std::lock_guard<std::recursive_mutex> g(lock);
    CfObject *d = reinterpret_cast<CfObject *>(theDict);
    if (d->entries.count(key)) return;  // an existing key keeps its value
    CfObject *v = const_cast<CfObject *>(static_cast<const CfObject *>(value));
    v->refs++;
    d->entries[key] = v;
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 b0, UInt8 b1, UInt8 b2, UInt8 b3,
                                         UInt8 b4, UInt8 b5, UInt8 b6, UInt8 b7, UInt8 b8, UInt8 b9,
                                         UInt8 b10, UInt8 b11, UInt8 b12, UInt8 b13, UInt8 b14,
                                         UInt8 b15) {
    (void)alloc;
    // Constant UUIDs are never freed; one object per value.
    static std::map<std::string, CFUUIDBytes> uuids;  // nodes never move
    CFUUIDBytes bytes = {b0, b1, b2, b3, b4, b5, b6, b7, b8, b9, b10, b11, b12, b13, b14, b15};
    std::string key(reinterpret_cast<const char *>(&bytes), sizeof bytes);
    std::lock_guard<std::recursive_mutex> g(lock);
    return reinterpret_cast<CFUUIDRef>(&uuids.emplace(key, bytes).first->second);
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) { return *reinterpret_cast<const CFUUIDBytes *>(uuid); }

// ---- Mach and IOKit -------------------------------------------------------------------

kern_return_t mach_port_deallocate(ipc_space_t task, mach_port_name_t name) {
    std::lock_guard<std::recursive_mutex> g(lock);
    calls["mach_port_deallocate"]++;
    auto it = ioObjects.find(name);
    if (task != mach_task_self_ || it == ioObjects.end() || it->second.kind != 1) return 0xf;  // KERN_INVALID_NAME
    ioObjects.erase(it);
    died("port");
    return 0;
}

kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t *masterPort) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("IOMasterPort", &code)) return code;
    if (bootstrapPort != MACH_PORT_NULL) return kIOReturnBadArgument;
    *masterPort = newObject(1, -1, -1);
    return 0;
}

CFMutableDictionaryRef IOServiceMatching(const char *name) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (injected("IOServiceMatching", &code)) return nullptr;
    if (strcmp(name, "IOUSBDevice") != 0) return nullptr;
    CfObject *o = new CfObject{2, 1, 0, {}};
    born("cf");
    return reinterpret_cast<CFMutableDictionaryRef>(o);
}

kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t *existing) {
    SInt32 vid = -1, pid = -1;
    {
        std::lock_guard<std::recursive_mutex> g(lock);
        const CfObject *d = reinterpret_cast<const CfObject *>(matching);
        for (auto &e : d->entries) {
            const std::string &key = *static_cast<const std::string *>(e.first);
            if (key == "idVendor") vid = e.second->value;
            if (key == "idProduct") pid = e.second->value;
        }
    }
    IOReturn code;
    bool failed;
    {
        std::lock_guard<std::recursive_mutex> g(lock);
        failed = injected("IOServiceGetMatchingServices", &code);
    }
    // The dictionary is consumed whatever happens.
    CFRelease(matching);
    std::lock_guard<std::recursive_mutex> g(lock);
    if (failed) return code;
    auto port = ioObjects.find(masterPort);
    if (port == ioObjects.end() || port->second.kind != 1) return kIOReturnBadArgument;
    io_object_t it = newObject(4, -1, -1);
    for (size_t i = 0; i < devices.size(); i++)
        if ((SInt32)devices[i].vid == vid && (SInt32)devices[i].pid == pid)
            ioObjects[it].items.push_back({(int)i, -1});
    *existing = it;
    return 0;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    std::lock_guard<std::recursive_mutex> g(lock);
    calls["IOIteratorNext"]++;
    auto it = ioObjects.find(iterator);
    if (it == ioObjects.end() || it->second.kind != 4) return 0;
    IoObject &o = it->second;
    if (o.next >= o.items.size()) return 0;
    std::pair<int, int> item = o.items[o.next++];
    return newObject(item.second < 0 ? 2 : 3, item.first, item.second);
}

kern_return_t IOObjectRelease(io_object_t object) {
    std::lock_guard<std::recursive_mutex> g(lock);
    calls["IOObjectRelease"]++;
    auto it = ioObjects.find(object);
    if (it == ioObjects.end() || it->second.kind == 1) return kIOReturnBadArgument;
    died(objectKindName(it->second.kind));
    ioObjects.erase(it);
    return 0;
}

kern_return_t IOCreatePlugInInterfaceForService(io_service_t service, CFUUIDRef pluginType,
                                                CFUUIDRef interfaceType,
                                                IOCFPlugInInterface ***theInterface, SInt32 *theScore) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    bool null = false;
    *theInterface = nullptr;
    if (injected("IOCreatePlugInInterfaceForService", &code, &null)) return code;
    auto it = ioObjects.find(service);
    if (it == ioObjects.end() || (it->second.kind != 2 && it->second.kind != 3)) return kIOReturnBadArgument;
    const IoObject &s = it->second;
    CFUUIDBytes want = *reinterpret_cast<const CFUUIDBytes *>(
        s.kind == 2 ? kIOUSBDeviceUserClientTypeID : kIOUSBInterfaceUserClientTypeID);
    if (memcmp(&want, pluginType, sizeof want) != 0 ||
        memcmp(interfaceType, kIOCFPlugInInterfaceID, sizeof want) != 0)
        return kIOReturnUnsupported;
    PlugIn *p = new PlugIn{&plugInTable, s.kind, s.device, s.interface};
    born("plugin");
    *theInterface = &p->table;
    if (theScore) *theScore = 0;
    return 0;
}

kern_return_t IODestroyPlugInInterface(IOCFPlugInInterface **interface) {
    std::lock_guard<std::recursive_mutex> g(lock);
    calls["IODestroyPlugInInterface"]++;
    delete plugInOf(interface);
    died("plugin");
    return 0;
}

}  // extern "C"

// ---- control, for tests ------------------------------------------------------------------

// Forgets every device, scripted failure and call count. Live objects are
// counted on: a test asserts they are back to zero.
MACSTUB_API void macstub_reset(void) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices.clear();
    failures.clear();
    calls.clear();
    generation++;  // blocked transfers end: their device is gone
    blockLimitMs = defaultBlockLimitMs;
    gaveUp = 0;
    pipeChanged.notify_all();
    macstub::resetKeytap();
}

// A device with a serial number at string index 3, one configuration (value
// 1) and one interface of three endpoints, at high speed; its index.
MACSTUB_API int macstub_add_device(int vid, int pid, const char *serial) {
    std::lock_guard<std::recursive_mutex> g(lock);
    Device d;
    d.vid = (UInt16)vid;
    d.pid = (UInt16)pid;
    std::string s(1, (char)(2 + 2 * strlen(serial)));
    s += '\x03';
    for (const char *c = serial; *c; c++) s += std::string(1, *c) + '\0';
    d.strings[3] = s;
    d.deviceDescriptor = std::string("\x12\x01\x00\x02\x00\x00\x00\x40", 8) +
                         std::string(1, (char)(vid & 0xFF)) + std::string(1, (char)(vid >> 8 & 0xFF)) +
                         std::string(1, (char)(pid & 0xFF)) + std::string(1, (char)(pid >> 8 & 0xFF)) +
                         std::string("\x00\x01\x01\x02\x03\x01", 6);
    d.configDescriptor = std::string("\x09\x02\x27\x00\x01\x01\x00\x80\x32", 9);
    devices.push_back(d);
    return (int)devices.size() - 1;
}

// The bytes a descriptor request for string `index` delivers (len may be
// shorter than their length byte); len -1 removes the string (stall).
MACSTUB_API void macstub_set_string(int dev, int index, const char *bytes, int len) {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (len < 0) devices[dev].strings.erase(index);
    else devices[dev].strings[index] = std::string(bytes, len);
}

MACSTUB_API void macstub_set_serial_index(int dev, int index) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].serialIndex = (UInt8)index;
}

// type 1: the device descriptor, 2: the configuration descriptor.
MACSTUB_API void macstub_set_descriptor(int dev, int type, const char *bytes, int len) {
    std::lock_guard<std::recursive_mutex> g(lock);
    (type == 1 ? devices[dev].deviceDescriptor : devices[dev].configDescriptor) = std::string(bytes, len);
}

MACSTUB_API void macstub_set_configurations(int dev, int count) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].configurations = count;
}

// Interfaces of the configuration, by their endpoint counts.
MACSTUB_API void macstub_set_interfaces(int dev, const int *endpoints, int count) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].interfaces.assign(endpoints, endpoints + count);
}

MACSTUB_API void macstub_set_speed(int dev, int speed) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].speed = (UInt8)speed;
}

// Another client holds the device open (USBDeviceOpen: exclusive access).
MACSTUB_API void macstub_hold_elsewhere(int dev, int held) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].heldElsewhere = held != 0;
}

// The next read of pipe delivers these bytes (a short read when fewer than
// asked for; longer data is cut to the reader's size). A read blocked on the
// pipe takes them at once.
MACSTUB_API void macstub_queue_data(int dev, int pipe, const char *bytes, int len) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].pipes[pipe].push_back(PipeEvent{0, std::string(bytes, len), 0});
    pipeChanged.notify_all();
}

// The next count timed reads of pipe get nothing within their timeout.
MACSTUB_API void macstub_queue_timeouts(int dev, int pipe, int count) {
    std::lock_guard<std::recursive_mutex> g(lock);
    for (int i = 0; i < count; i++) devices[dev].pipes[pipe].push_back(PipeEvent{1, "", 0});
    pipeChanged.notify_all();
}

MACSTUB_API void macstub_queue_error(int dev, int pipe, unsigned code) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].pipes[pipe].push_back(PipeEvent{2, "", (IOReturn)code});
    pipeChanged.notify_all();
}

// AbortPipe as another client of the interface would call it: every
// transfer blocked on the pipe ends with kIOReturnAborted; later ones are
// not affected. The number of transfers it ended.
MACSTUB_API int macstub_abort_pipe(int dev, int pipe) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].aborts[pipe]++;
    pipeChanged.notify_all();
    return devices[dev].waiting[pipe];
}

// While held, the device takes no data on pipe: writes block until it is
// released (they then complete), aborted or reset.
MACSTUB_API void macstub_hold_writes(int dev, int pipe, int held) {
    std::lock_guard<std::recursive_mutex> g(lock);
    devices[dev].writesHeld[pipe] = held != 0;
    pipeChanged.notify_all();
}

// Transfers blocked on pipe right now.
MACSTUB_API int macstub_waiting(int dev, int pipe) {
    std::lock_guard<std::recursive_mutex> g(lock);
    return devices[dev].waiting[pipe];
}

// How long a transfer may block before the stand-in gives up on it (back
// to 10 s at reset), and how many gave up since the reset.
MACSTUB_API void macstub_set_block_limit(int ms) {
    std::lock_guard<std::recursive_mutex> g(lock);
    blockLimitMs = ms;
}
MACSTUB_API int macstub_gave_up(void) {
    std::lock_guard<std::recursive_mutex> g(lock);
    return gaveUp;
}

// The n-th read of the device (any pipe): pipe, size asked for, whether
// timed (ReadPipeTO) and its two timeouts. 0, or -1 when there is no such read.
MACSTUB_API int macstub_read_call(int dev, int n, unsigned *out) {
    std::lock_guard<std::recursive_mutex> g(lock);
    const std::vector<PipeRead> &r = devices[dev].reads;
    if (n < 0 || n >= (int)r.size()) return -1;
    unsigned v[5] = {(unsigned)r[n].pipe, r[n].size, r[n].timed ? 1u : 0u, r[n].noData, r[n].completion};
    memcpy(out, v, sizeof v);
    return 0;
}

// The n-th device request made of the device: bmRequestType, bRequest,
// wValue, wIndex, wLength. 0, or -1 when there is no such request.
MACSTUB_API int macstub_request(int dev, int n, unsigned *out) {
    std::lock_guard<std::recursive_mutex> g(lock);
    const std::vector<Request> &r = devices[dev].requests;
    if (n < 0 || n >= (int)r.size()) return -1;
    unsigned v[5] = {r[n].bmRequestType, r[n].bRequest, r[n].wValue, r[n].wIndex, r[n].wLength};
    memcpy(out, v, sizeof v);
    return 0;
}

// The n-th interface search request: bInterfaceClass, bInterfaceSubClass,
// bInterfaceProtocol, bAlternateSetting. 0, or -1 when there is none.
MACSTUB_API int macstub_search(int dev, int n, unsigned *out) {
    std::lock_guard<std::recursive_mutex> g(lock);
    const std::vector<IOUSBFindInterfaceRequest> &r = devices[dev].searches;
    if (n < 0 || n >= (int)r.size()) return -1;
    unsigned v[4] = {r[n].bInterfaceClass, r[n].bInterfaceSubClass, r[n].bInterfaceProtocol,
                     r[n].bAlternateSetting};
    memcpy(out, v, sizeof v);
    return 0;
}

// The n-th write to pipe (copied to out, at most cap bytes); its length, or
// -1 when there is no such write.
MACSTUB_API int macstub_written(int dev, int pipe, int n, char *out, int cap) {
    std::lock_guard<std::recursive_mutex> g(lock);
    const std::vector<std::string> &w = devices[dev].writes[pipe];
    if (n < 0 || n >= (int)w.size()) return -1;
    int len = (int)w[n].size();
    memcpy(out, w[n].data(), len < cap ? len : cap);
    return len;
}

// The next call of `call` (after `after` more that succeed) fails with
// code; with null_result its object or
// out-parameter is also null (code may then be 0). Calls: IOMasterPort,
// IOServiceMatching, CFNumberCreate, IOServiceGetMatchingServices,
// IOCreatePlugInInterfaceForService, QueryInterface, every method name of the
// two function tables, and DeviceRelease / InterfaceRelease (the object is
// released all the same; the call answers code instead of the count).
MACSTUB_API void macstub_fail_next(const char *call, unsigned code, int null_result, int after) {
    std::lock_guard<std::recursive_mutex> g(lock);
    failures[call].push_back(Failure{(IOReturn)code, null_result != 0, after});
}

MACSTUB_API int macstub_calls(const char *call) {
    std::lock_guard<std::recursive_mutex> g(lock);
    auto it = calls.find(call);
    return it == calls.end() ? 0 : it->second;
}

// Live objects of a kind: "cf", "port", "service", "iterator", "plugin",
// "device", "interface"; or of all kinds with NULL.
MACSTUB_API int macstub_live(const char *kind) {
    std::lock_guard<std::recursive_mutex> g(lock);
    int n = 0;
    for (auto &e : live)
        if (!kind || e.first == kind) n += e.second;
    return n;
}

// Device state: "open" (open count), "interface_open", "configuration" (-1:
// never set), "resets".
MACSTUB_API int macstub_state(int dev, const char *what) {
    std::lock_guard<std::recursive_mutex> g(lock);
    const Device &d = devices[dev];
    std::string w = what;
    if (w == "open") return d.openCount;
    if (w == "interface_open") return d.interfaceOpen;
    if (w == "configuration") return d.configuration;
    if (w == "resets") return d.resets;
    return -1000;
}

MACSTUB_API void macstub_flush_stdout(void) { fflush(stdout); }
