// syskeys: key presses, releases and modifier changes of the login session,
// seen through a Quartz event tap and reported to one Python callable, whose
// answer lets macOS deliver each event or swallows it.
//
// A report is (down, kind, key code, autorepeat, flags): kind 0 for a key
// event, 1 when macOS disabled the tap by timeout, 2 when it did so for user
// input; the flags of a notice are its event type.
#include "syskeys.h"

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstdio>

// The tap, once created; one per process, never released. Its callable is
// the tap's user data, and this module holds a reference to it for as long.
static CFMachPortRef eventPort = NULL;

static const CGEventFlags commandKeys = kCGEventFlagMaskControl | kCGEventFlagMaskAlternate | kCGEventFlagMaskCommand;
static const int capsLockKey = 57;

// Device-dependent left/right bits of the flags.
enum {
    nxKeymask_L_Ctrl = 0x1,
    nxKeymask_L_Shift = 0x2,
    nxKeymask_R_Shift = 0x4,
    nxKeymask_L_Command = 0x8,
    nxKeymask_R_Command = 0x10,
    nxKeymask_L_Alt = 0x20,
    nxKeymask_R_Alt = 0x40,
    nxKeymask_R_Ctrl = 0x2000,
};

struct KeyReport {
    int down, kind, keycode, autorepeat;
    unsigned long long flags;
};

// The flag bit that tells whether a modifier key is down; 0 for a key code
// that is no modifier.
static CGEventFlags modifierBit(int keycode) {
    switch (keycode) {
    case 54: return nxKeymask_R_Command;
    case 55: return nxKeymask_L_Command;
    case 56: return nxKeymask_L_Shift;
    case 58: return nxKeymask_L_Alt;
    case 59: return nxKeymask_L_Ctrl;
    case 60: return nxKeymask_R_Shift;
    case 61: return nxKeymask_R_Alt;
    case 62: return nxKeymask_R_Ctrl;
    default: return 0;
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// Is the event addressed to this process? An answer SameProcess cannot give
// counts as yes.
static bool forThisProcess(CGEventRef event) {
    static const ProcessSerialNumber current = {0, kCurrentProcess};
    uint64_t target = (uint64_t)CGEventGetIntegerValueField(event, kCGEventTargetProcessSerialNumber);
    ProcessSerialNumber psn = {(UInt32)(target >> 32), (UInt32)target};
    Boolean same = true;
    return SameProcess(&psn, &current, &same) != 0 || same;
}

static bool accessibilityAllowed() { return AXAPIEnabled() || AXIsProcessTrusted(); }

#pragma GCC diagnostic pop

// The report of one event, or false when the application is not told of it.
static bool reportOf(CGEventType type, CGEventRef event, KeyReport *r) {
    CGEventFlags flags = CGEventGetFlags(event);
    r->keycode = (int)CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode);
    r->autorepeat = CGEventGetIntegerValueField(event, kCGKeyboardEventAutorepeat) != 0;
    r->kind = 0;
    r->flags = flags;
    switch (type) {
    case kCGEventKeyDown:
    case kCGEventKeyUp:
        // Plain typing is ours only when it goes to us; with Control, Option
        // or Command held it is reported wherever it goes.
        r->down = type == kCGEventKeyDown;
        return (flags & commandKeys) != 0 || forThisProcess(event);
    case kCGEventFlagsChanged: {
        if (r->keycode == 0) return false;
        if (r->keycode == capsLockKey) {
            r->down = 1;
            return true;
        }
        CGEventFlags bit = modifierBit(r->keycode);
        if (!bit) {
            fprintf(stderr, "Unknown meta key: %d\n", r->keycode);
            return false;
        }
        r->down = (flags & bit) != 0;
        return true;
    }
    default:
        r->down = 0;
        r->kind = type == kCGEventTapDisabledByUserInput ? 2 : 1;
        r->keycode = 0;
        r->flags = (uint32_t)type;
        return true;
    }
}

// Whatever the callable left raised is printed here, so that it never
// surfaces later in unrelated code.
static void printPending() {
    if (PyErr_Occurred()) PyErr_Print();
}

// The callable's verdict on one report: 0 swallows the event.
static int verdictOf(PyObject *callable, const KeyReport &r) {
    int verdict = 1;
    PyObject *result = PyObject_CallFunction(callable, (char *)"(iiiiK)", r.down, r.kind, r.keycode,
                                             r.autorepeat, r.flags);
    if (!result) {
        printPending();
        return verdict;
    }
    if (PyNumber_Check(result)) {
        verdict = (int)TS_AS_LONG(result);
    } else {
        PyErr_SetString(PyExc_TypeError, "expecting int");
    }
    Py_DECREF(result);
    printPending();
    return verdict;
}

static CGEventRef eventCallback(CGEventTapProxy proxy, CGEventType type, CGEventRef event, void *userInfo) {
    (void)proxy;
    KeyReport r;
    if (!reportOf(type, event, &r)) return event;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject *callable = static_cast<PyObject *>(userInfo);
    int verdict = verdictOf(callable, r);
    if (r.keycode == capsLockKey) {
        // Caps Lock changes state on every press: the application sees a
        // press and a release, and only the first answer counts.
        KeyReport release = {0, 0, capsLockKey, 0, r.flags};
        verdictOf(callable, release);
    }
    PyGILState_Release(gil);
    return verdict == 0 ? NULL : event;
}

// A tap that could not be put on a run loop goes, so that a later call can
// try again.
static PyObject *dropTap(PyObject *callable, PyObject *error, const char *message) {
    CFRelease(eventPort);
    eventPort = NULL;
    Py_DECREF(callable);
    PyErr_SetString(error, message);
    return NULL;
}

const char syskeysSetupDoc[] = "Try to do advanced key access";
PyObject *syskeysSetup(PyObject *self, PyObject *args) {
    (void)self;
    PyObject *callable;
    if (!PyArg_ParseTuple(args, "O", &callable)) return NULL;
    if (!PyCallable_Check(callable)) {
        PyErr_SetString(PyExc_TypeError, "Need a callable object");
        return NULL;
    }
    if (eventPort) {
        // The tap keeps reporting to the callable it was created with.
        CGEventTapEnable(eventPort, true);
        Py_RETURN_NONE;
    }
    if (!accessibilityAllowed()) {
        PyErr_SetString(PyExc_EnvironmentError, "Accessibility toggle is off, and we're not root.");
        return NULL;
    }
    const CGEventMask keyEvents = (CGEventMask)1 << kCGEventKeyDown | (CGEventMask)1 << kCGEventKeyUp |
                                  (CGEventMask)1 << kCGEventFlagsChanged;
    Py_INCREF(callable);
    eventPort = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, keyEvents,
                                 eventCallback, callable);
    if (!eventPort) {
        Py_DECREF(callable);
        PyErr_SetString(PyExc_EnvironmentError, "Late failure getting tap; permissions?");
        return NULL;
    }
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, eventPort, 0);
    if (!source) return dropTap(callable, PyExc_RuntimeError, "No event run loop src?");
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    if (!loop) {
        CFRelease(source);
        return dropTap(callable, PyExc_RuntimeError, "No run loop?");
    }
    // The run loop keeps the source; the tap is enabled from its creation on.
    CFRunLoopAddSource(loop, source, kCFRunLoopDefaultMode);
    CFRelease(source);
    Py_RETURN_NONE;
}

const char syskeysDisableDoc[] = "Cancel syskey events";
PyObject *syskeysDisable(PyObject *self, PyObject *args) {
    (void)self;
    if (!PyArg_ParseTuple(args, "")) return NULL;
    if (!eventPort) {
        PyErr_SetString(PyExc_EnvironmentError, "Was never setup.");
        return NULL;
    }
    CGEventTapEnable(eventPort, false);
    Py_RETURN_NONE;
}

void syskeysAddConstants(PyObject *module) {
    static const struct {
        const char *name;
        long value;
    } constants[] = {
        {"kCGEventFlagMaskAlphaShift", (long)kCGEventFlagMaskAlphaShift},
        {"kCGEventFlagMaskShift", (long)kCGEventFlagMaskShift},
        {"kCGEventFlagMaskControl", (long)kCGEventFlagMaskControl},
        {"kCGEventFlagMaskAlternate", (long)kCGEventFlagMaskAlternate},
        {"kCGEventFlagMaskCommand", (long)kCGEventFlagMaskCommand},
        {"kCGEventFlagMaskNumericPad", (long)kCGEventFlagMaskNumericPad},
        {"kCGEventFlagsChanged", (long)kCGEventFlagsChanged},
        {"nxKeymask_L_Ctrl", nxKeymask_L_Ctrl},
        {"nxKeymask_R_Ctrl", nxKeymask_R_Ctrl},
        {"nxKeymask_L_Shift", nxKeymask_L_Shift},
        {"nxKeymask_R_Shift", nxKeymask_R_Shift},
        {"nxKeymask_L_Command", nxKeymask_L_Command},
        {"nxKeymask_R_Command", nxKeymask_R_Command},
        {"nxKeymask_L_Alt", nxKeymask_L_Alt},
        {"nxKeymask_R_Alt", nxKeymask_R_Alt},
    };
    for (const auto &c : constants) PyModule_AddIntConstant(module, c.name, c.value);
}
