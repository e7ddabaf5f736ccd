// macusb: the adapter on macOS through IOKit's USB family. Finds adapters by
// vendor and product ID and serial number, opens one (its only configuration,
// its first interface with three endpoints) and moves data through its pipes;
// the key tap lives in syskeys. Built for CPython 2.7 and 3.
//
// Pipes of the adapter's interface: 1 video in, 2 in, 3 out.
#include "pycompat.h"

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOCFPlugIn.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/usb/IOUSBLib.h>
#include <mach/mach.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "diagnostics.h"
#include "syskeys.h"

#ifndef MACUSB_EXPECTED_VID
#define MACUSB_EXPECTED_VID 0
#endif
#ifndef MACUSB_EXPECTED_PID
#define MACUSB_EXPECTED_PID 0
#endif

typedef IOUSBDeviceInterface245 **DeviceRef;
typedef IOUSBInterfaceInterface245 **InterfaceRef;

static const int expectedVID = MACUSB_EXPECTED_VID;
static const int expectedPID = MACUSB_EXPECTED_PID;
static const int maxDevices = 100;

static const UInt32 descriptorBufSize = 255, readBufSize = 64, videoBufSize = 0xA0000;

// One opened adapter; the record behind a handle.
struct DeviceState {
    DeviceRef dev;
    InterfaceRef intf;
    UInt8 readBuf[readBufSize];
    UInt8 videoBuf[videoBufSize];
};

// Called once per matched device; non-zero ends the walk. The service
// belongs to the walk.
typedef UInt8 (*DeviceWorker)(io_service_t service, const char *serial, void *userData);

// The diagnostic line of an IOKit failure that does not raise.
static void reportFailure(const char *step, int site, IOReturn result) {
    printf("%s:%d failed w/ 0x%08x\n", step, site, (unsigned)result);
    fflush(stdout);
}

// ---- matching and enumeration ---------------------------------------------------

static IOReturn deviceIterator(UInt16 vid, UInt16 pid, const char *serial, DeviceWorker worker,
                               void *userData) {
    mach_port_t masterPort = MACH_PORT_NULL;
    kern_return_t kr = IOMasterPort(MACH_PORT_NULL, &masterPort);
    if (kr != 0) {
        reportFailure("deviceIterator", 170, kr);
        return kr;
    }
    CFMutableDictionaryRef matching = IOServiceMatching("IOUSBDevice");
    if (!matching) {
        mach_port_deallocate(mach_task_self(), masterPort);
        return (IOReturn)0xFFFFFFFF;
    }
    const SInt32 ids[2] = {vid, pid};
    const CFStringRef keys[2] = {CFSTR("idVendor"), CFSTR("idProduct")};
    for (int i = 0; i < 2; i++) {
        CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &ids[i]);
        if (!number) {
            CFRelease(matching);
            mach_port_deallocate(mach_task_self(), masterPort);
            return (IOReturn)0xFFFFFFFF;
        }
        CFDictionaryAddValue(matching, keys[i], number);
        CFRelease(number);
    }
    io_iterator_t iterator = 0;
    // Takes our reference to the dictionary, whatever it returns.
    IOServiceGetMatchingServices(masterPort, matching, &iterator);
    if (iterator) {
        io_service_t service;
        while ((service = IOIteratorNext(iterator)) != 0) {
            UInt8 stop = worker(service, serial, userData);
            IOObjectRelease(service);
            if (stop) break;
        }
        IOObjectRelease(iterator);
    }
    mach_port_deallocate(mach_task_self(), masterPort);
    return 0;
}

// Creates the plug-in of service, asks it for the interface iid and destroys
// the plug-in. On failure *out is null, the result is the failing call's
// (0 for a null plug-in or interface) and *atQuery tells which call it was.
static IOReturn interfaceOf(io_service_t service, CFUUIDRef pluginType, CFUUIDRef iid, void **out,
                            bool *atQuery) {
    IOCFPlugInInterface **plugin = NULL;
    SInt32 score = 0;
    *out = NULL;
    *atQuery = false;
    IOReturn r = IOCreatePlugInInterfaceForService(service, pluginType, kIOCFPlugInInterfaceID,
                                                   &plugin, &score);
    if (r != 0 || !plugin) return r;
    *atQuery = true;
    void *found = NULL;
    r = (*plugin)->QueryInterface(plugin, CFUUIDGetUUIDBytes(iid), &found);
    IODestroyPlugInInterface(plugin);
    if (r != 0) found = NULL;
    *out = found;
    return r;
}

// A string descriptor made, in place, a NUL-terminated 8-bit string: the low
// byte of each UTF-16 code unit. Only the delivered bytes count, so nothing
// left in the buffer from before shows up.
static void stringFromDescriptor(UInt8 *buf, UInt32 delivered) {
    int length = delivered < (UInt32)buf[0] ? (int)delivered : buf[0];
    int n = length < 2 ? 0 : (length - 2) / 2;
    for (int i = 0; i < n; i++) buf[i] = buf[2 + 2 * i];
    buf[n] = 0;
}

// A GET_DESCRIPTOR request for descriptor (type, index) into buf (255
// bytes, cleared first); *delivered is the number of bytes the device sent.
static IOReturn getDescriptor(DeviceRef dev, UInt8 type, UInt8 index, UInt8 *buf, UInt32 *delivered) {
    memset(buf, 0, descriptorBufSize);
    IOUSBDevRequest req;
    req.bmRequestType = 0x80;
    req.bRequest = 0x06;
    req.wValue = (UInt16)(type << 8 | index);
    req.wIndex = 0;
    req.wLength = descriptorBufSize;
    req.pData = buf;
    req.wLenDone = 0;
    IOReturn r = (*dev)->DeviceRequest(dev, &req);
    *delivered = req.wLenDone < descriptorBufSize ? req.wLenDone : descriptorBufSize;
    return r;
}

static bool getSerialNumber(DeviceRef dev, UInt8 *buf) {
    UInt8 index = 0;
    IOReturn r = (*dev)->USBGetSerialNumberStringIndex(dev, &index);
    if (r != 0) {
        reportFailure("getSerialNumber", 141, r);
        return false;
    }
    UInt32 delivered = 0;
    if (getDescriptor(dev, 3, index, buf, &delivered) != 0) return false;
    stringFromDescriptor(buf, delivered);
    return true;
}

static UInt8 enumWork(io_service_t service, const char *serial, void *userData) {
    PyObject *list = static_cast<PyObject *>(userData);
    void *found;
    bool atQuery;
    IOReturn r = interfaceOf(service, kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID245,
                             &found, &atQuery);
    if (!found) {
        if (!atQuery && r == kIOReturnNoResources) return 0;
        reportFailure("enumWork", atQuery ? 320 : 310, r);
        return 0;
    }
    DeviceRef dev = static_cast<DeviceRef>(found);
    UInt8 sn[descriptorBufSize];
    UInt8 stop = 0;
    if (!getSerialNumber(dev, sn)) {
        (*dev)->USBDeviceOpen(dev);
        (*dev)->ResetDevice(dev);
        (*dev)->USBDeviceClose(dev);
    } else if (!serial || strcmp(serial, (const char *)sn) == 0) {
        PyObject *s = TS_STR_FROM_8BIT((const char *)sn);
        // Out of memory ends the walk; "enum" then raises.
        if (!s || PyList_Append(list, s) < 0) stop = 1;
        Py_XDECREF(s);
    }
    (*dev)->Release(dev);
    return stop;
}

PyDoc_STRVAR(doc_enum, "Search for suitable devices, return a list of unique strings");
static PyObject *do_enum(PyObject *self, PyObject *args) {
    (void)self;
    const char *serial = NULL;
    unsigned short vid = (unsigned short)expectedVID, pid = (unsigned short)expectedPID;
    if (!PyArg_ParseTuple(args, "|sHH", &serial, &vid, &pid)) return NULL;
    PyObject *list = PyList_New(0);
    if (!list) return NULL;
    deviceIterator(vid, pid, serial, enumWork, list);
    if (PyErr_Occurred()) {
        Py_DECREF(list);
        return NULL;
    }
    return list;
}

// ---- open ----------------------------------------------------------------------

static void ourCleanup(void *ptr) {
    DeviceState *ss = static_cast<DeviceState *>(ptr);
    if (ss->intf) {
        (*ss->intf)->USBInterfaceClose(ss->intf);
        (*ss->intf)->Release(ss->intf);
    }
    if (ss->dev) {
        (*ss->dev)->USBDeviceClose(ss->dev);
        (*ss->dev)->Release(ss->dev);
    }
    PyMem_Free(ss);
}

static TsHandleKind handleKind = {"macusb.device", ourCleanup};

static int setupInterface(io_service_t service, DeviceState *ss) {
    void *found;
    bool atQuery;
    IOReturn r = interfaceOf(service, kIOUSBInterfaceUserClientTypeID, kIOUSBInterfaceInterfaceID245,
                             &found, &atQuery);
    if (!found) {
        reportFailure("setupInterface", atQuery ? 252 : 242, r);
        return -1;
    }
    InterfaceRef intf = static_cast<InterfaceRef>(found);
    r = (*intf)->USBInterfaceOpen(intf);
    if (r != 0) {
        reportFailure("setupInterface", 258, r);
        (*intf)->Release(intf);
        return -1;
    }
    UInt8 endpoints = 0;
    r = (*intf)->GetNumEndpoints(intf, &endpoints);
    if (r != 0) {
        reportFailure("setupInterface", 267, r);
    } else if (endpoints == 3) {
        ss->intf = intf;
        return 0;
    }
    r = (*intf)->USBInterfaceClose(intf);
    if (r != 0) reportFailure("setupInterface", 281, r);
    r = (IOReturn)(*intf)->Release(intf);
    if (r != 0) reportFailure("setupInterface", 284, r);
    return -1;
}

static UInt8 openWork(io_service_t service, const char *serial, void *userData) {
    DeviceState *ss = static_cast<DeviceState *>(userData);
    void *found;
    bool atQuery;
    IOReturn r = interfaceOf(service, kIOUSBDeviceUserClientTypeID, kIOUSBDeviceInterfaceID245,
                             &found, &atQuery);
    if (!found) {
        reportFailure("openWork", atQuery ? 422 : 412, r);
        return 0;
    }
    DeviceRef dev = static_cast<DeviceRef>(found);
    UInt8 configurations = 0;
    IOUSBConfigurationDescriptorPtr config = NULL;
    IOUSBFindInterfaceRequest request;
    io_iterator_t iterator = 0;
    io_service_t first;
    int set;
    if (serial) {
        UInt8 sn[descriptorBufSize];
        if (!getSerialNumber(dev, sn) || strcmp((const char *)sn, serial) != 0) goto release;
    }
    r = (*dev)->USBDeviceOpen(dev);
    if (r != 0) {
        // Another client holds it: passed over silently.
        if (r != kIOReturnExclusiveAccess) reportFailure("openWork", 446, r);
        goto release;
    }
    r = (*dev)->GetNumberOfConfigurations(dev, &configurations);
    if (r != 0 || configurations != 1) {
        reportFailure("openWork", 455, r);
        goto close;
    }
    r = (*dev)->GetConfigurationDescriptorPtr(dev, 0, &config);
    if (r != 0 || !config) {
        reportFailure("openWork", 462, r);
        goto close;
    }
    r = (*dev)->SetConfiguration(dev, config->bConfigurationValue);
    if (r != 0) {
        reportFailure("openWork", 470, r);
        goto close;
    }
    request.bInterfaceClass = kIOUSBFindInterfaceDontCare;
    request.bInterfaceSubClass = kIOUSBFindInterfaceDontCare;
    request.bInterfaceProtocol = kIOUSBFindInterfaceDontCare;
    request.bAlternateSetting = kIOUSBFindInterfaceDontCare;
    r = (*dev)->CreateInterfaceIterator(dev, &request, &iterator);
    if (r != 0) {
        reportFailure("openWork", 482, r);
        goto close;
    }
    // Only the first interface is ever tried.
    first = IOIteratorNext(iterator);
    set = setupInterface(first, ss);
    if (first) IOObjectRelease(first);
    IOObjectRelease(iterator);
    if (set < 0) goto close;
    if (!ss->intf) __my_assert("ss->intf", "extension", "openWork", 496);
    ss->dev = dev;
    return 1;
close:
    r = (*dev)->USBDeviceClose(dev);
    if (r != 0) reportFailure("openWork", 504, r);
release:
    r = (IOReturn)(*dev)->Release(dev);
    if (r != 0) reportFailure("openWork", 507, r);
    return 0;
}

PyDoc_STRVAR(doc_open, "Search for particular device, return a useful object.");
static PyObject *do_open(PyObject *self, PyObject *args) {
    (void)self;
    DeviceState *ss = static_cast<DeviceState *>(PyMem_Malloc(sizeof(DeviceState)));
    if (!ss) return PyErr_NoMemory();
    memset(ss, 0, sizeof *ss);
    const char *serial = NULL;
    unsigned short vid = (unsigned short)expectedVID, pid = (unsigned short)expectedPID;
    if (!PyArg_ParseTuple(args, "|sHH", &serial, &vid, &pid)) {
        PyMem_Free(ss);
        return NULL;
    }
    deviceIterator(vid, pid, serial, openWork, ss);
    if (ss->intf) {
        PyObject *handle = tsHandleNew(ss, &handleKind);
        if (!handle) ourCleanup(ss);
        return handle;
    }
    PyErr_SetString(PyExc_LookupError, "Device not found, or no devices.");
    PyMem_Free(ss);
    return NULL;
}

// ---- pipe and descriptor operations -----------------------------------------

// The record of a handle argument parsed with "O!", or null with TypeError
// for an opaque pointer object that is not one of ours.
static DeviceState *stateOf(PyObject *handle) {
    DeviceState *ss = static_cast<DeviceState *>(tsHandlePtr(handle, &handleKind));
    if (!ss) PyErr_SetString(PyExc_TypeError, "not a macusb device handle");
    return ss;
}

// The record of the one argument "O!" of read, readVideo and getHiSpeed.
static DeviceState *handleArgument(PyObject *args, PyObject **handle) {
    if (!PyArg_ParseTuple(args, "O!", &TS_HANDLE_TYPE, handle)) return NULL;
    return stateOf(*handle);
}

// IOError (code, "IOKit Error", "handler:site err=0x........"), code signed.
static PyObject *iokitError(const char *handler, int site, IOReturn result) {
    char text[80];
    snprintf(text, sizeof text, "%s:%d err=0x%08x", handler, site, (unsigned)result);
    PyObject *value = Py_BuildValue("(iss)", (int)result, "IOKit Error", text);
    if (value) {
        PyErr_SetObject(PyExc_IOError, value);
        Py_DECREF(value);
    }
    return NULL;
}

PyDoc_STRVAR(doc_read, "Read from device");
static PyObject *devRead(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *handle;
    DeviceState *ss = handleArgument(args, &handle);
    if (!ss) return NULL;
    UInt32 size = readBufSize;
    PyThreadState *ts = PyEval_SaveThread();
    IOReturn r = (*ss->intf)->ReadPipe(ss->intf, 2, ss->readBuf, &size);
    PyEval_RestoreThread(ts);
    if (r != 0) return iokitError("devRead", 536, r);
    return tsReadOnlyView(handle, ss->readBuf, size < readBufSize ? size : readBufSize);
}

// The data argument of "write", as long as the transfer needs it. On
// Python 3 any bytes-like object is taken (a view that "read" or "readVideo"
// returned, bytearray, memoryview, ...), held until writeDataRelease; str,
// and whatever is no bytes-like object, go through "s#", which takes or
// refuses them as it always has. On 2.7 "s#" alone: str and other read-only
// buffers, as there.
struct WriteData {
    const char *data;
    Py_ssize_t length;
    Py_buffer view;
    bool held;
};

static bool writeArguments(PyObject *args, PyObject **handle, WriteData *w) {
    w->held = false;
#if PY_MAJOR_VERSION >= 3
    PyObject *data;
    if (!PyArg_ParseTuple(args, "O!O", &TS_HANDLE_TYPE, handle, &data)) return false;
    if (!PyUnicode_Check(data)) {
        if (PyObject_GetBuffer(data, &w->view, PyBUF_SIMPLE) == 0) {
            w->held = true;
            w->data = static_cast<const char *>(w->view.buf);
            w->length = w->view.len;
            return true;
        }
        PyErr_Clear();  // "s#" below raises what it always did
    }
#endif
    return PyArg_ParseTuple(args, "O!s#", &TS_HANDLE_TYPE, handle, &w->data, &w->length) != 0;
}

static void writeDataRelease(WriteData *w) {
    if (w->held) PyBuffer_Release(&w->view);
    w->held = false;
}

PyDoc_STRVAR(doc_write, "Write from device");
static PyObject *devWrite(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *handle;
    WriteData w;
    if (!writeArguments(args, &handle, &w)) return NULL;
    DeviceState *ss = stateOf(handle);
    if (!ss) {
        writeDataRelease(&w);
        return NULL;
    }
    if ((uint64_t)w.length > UINT32_MAX) {
        writeDataRelease(&w);
        PyErr_SetString(PyExc_ValueError, "data too long for one transfer");
        return NULL;
    }
    PyThreadState *ts = PyEval_SaveThread();
    IOReturn r = (*ss->intf)->WritePipe(ss->intf, 3, (void *)w.data, (UInt32)w.length);
    PyEval_RestoreThread(ts);
    writeDataRelease(&w);
    if (r != 0) return iokitError("devWrite", 675, r);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(doc_getString, "Read a string descriptor");
static PyObject *devGetString(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *handle;
    int index;
    if (!PyArg_ParseTuple(args, "O!i", &TS_HANDLE_TYPE, &handle, &index)) return NULL;
    DeviceState *ss = stateOf(handle);
    if (!ss) return NULL;
    if (index < 1 || index > 255) {
        PyErr_SetString(PyExc_IndexError, "String index is bogus");
        return NULL;
    }
    UInt8 buf[descriptorBufSize];
    UInt32 delivered = 0;
    if (getDescriptor(ss->dev, 3, (UInt8)index, buf, &delivered) != 0) {
        PyErr_SetString(PyExc_KeyError, "Didn't find the string idx/trouble");
        return NULL;
    }
    stringFromDescriptor(buf, delivered);
    return TS_STR_FROM_8BIT((const char *)buf);
}

PyDoc_STRVAR(doc_getDescriptor, "Read any descriptor");
static PyObject *devGetDescriptor(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *handle;
    unsigned char type = 1;
    if (!PyArg_ParseTuple(args, "O!|b", &TS_HANDLE_TYPE, &handle, &type)) return NULL;
    DeviceState *ss = stateOf(handle);
    if (!ss) return NULL;
    UInt8 buf[descriptorBufSize];
    UInt32 delivered = 0;
    IOReturn r = getDescriptor(ss->dev, type, 0, buf, &delivered);
    if (r != 0) return iokitError("devGetDescriptor", 644, r);
    // Its own length, but never more than the device delivered.
    Py_ssize_t length = buf[0] < delivered ? buf[0] : delivered;
    return Py_BuildValue(TS_BYTES "#", (const char *)buf, length);
}

PyDoc_STRVAR(doc_readVideo, "Read video data from device");
static PyObject *devReadVideo(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *handle;
    DeviceState *ss = handleArgument(args, &handle);
    if (!ss) return NULL;
    for (;;) {
        UInt32 size = videoBufSize;
        PyThreadState *ts = PyEval_SaveThread();
        IOReturn r = (*ss->intf)->ReadPipeTO(ss->intf, 1, ss->videoBuf, &size, 1000, 250);
        PyEval_RestoreThread(ts);
        if (r == kIOUSBTransactionTimeout) {
            // No data yet: let signal handlers run, then wait again.
            if (PyErr_CheckSignals() < 0) return NULL;
            continue;
        }
        if (r != 0) return iokitError("devReadVideo", 574, r);
        return tsReadOnlyView(handle, ss->videoBuf, size < videoBufSize ? size : videoBufSize);
    }
}

PyDoc_STRVAR(doc_getHiSpeed, "Is it in high-speed mode?");
static PyObject *devGetHiSpeed(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *handle;
    DeviceState *ss = handleArgument(args, &handle);
    if (!ss) return NULL;
    UInt8 speed = 0;
    IOReturn r = (*ss->dev)->GetDeviceSpeed(ss->dev, &speed);
    if (r != 0) return iokitError("devGetHiSpeed", 701, r);
    return TS_FROM_LONG(speed == kUSBDeviceSpeedHigh ? 1 : 0);
}

static PyMethodDef methods[] = {
    {"enum", do_enum, METH_VARARGS, doc_enum},
    {"open", do_open, METH_VARARGS, doc_open},
    {"read", devRead, METH_VARARGS, doc_read},
    {"write", devWrite, METH_VARARGS, doc_write},
    {"getString", devGetString, METH_VARARGS, doc_getString},
    {"getDescriptor", devGetDescriptor, METH_VARARGS, doc_getDescriptor},
    {"readVideo", devReadVideo, METH_VARARGS, doc_readVideo},
    {"getHiSpeed", devGetHiSpeed, METH_VARARGS, doc_getHiSpeed},
    {"syskeys", syskeysSetup, METH_VARARGS, syskeysSetupDoc},
    {"syskeysDisable", syskeysDisable, METH_VARARGS, syskeysDisableDoc},
    {NULL, NULL, 0, NULL},
};

TS_INIT_FUNC(macusb) {
    PyObject *m = NULL;
    if (tsViewReady() < 0) TS_INIT_RETURN(m);
    TS_CREATE_MODULE(m, macusb, methods);
    if (!m) TS_INIT_RETURN(m);
    PyModule_AddIntConstant(m, "expectedVID", expectedVID);
    PyModule_AddIntConstant(m, "expectedPID", expectedPID);
    PyModule_AddIntConstant(m, "maxDevices", maxDevices);
    if (tsAddVersion(m) < 0) TS_INIT_FAIL(m);
    syskeysAddConstants(m);
    TS_INIT_RETURN(m);
}
