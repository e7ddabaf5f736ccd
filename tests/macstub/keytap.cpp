// Test equipment: Quartz event taps, CoreFoundation run loops, the two
// accessibility answers and SameProcess, as python/macusb's key tap uses
// them. Tests post key events from Python, run the installing thread's run
// loop, and read back which events macOS would have delivered.
//
// As documented: a tap is created enabled; its callback sees the event types
// of its mask while it is enabled, and the tap-disabled notices whenever
// macOS disables it; returning the event passes it on, returning NULL
// swallows it. A run-loop source retains its port, a run loop retains the
// sources added to it, and run loops belong to their threads (one each,
// never freed). CGEventTapCreate fails while the process may not use the
// accessibility API.
#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"

using macstub::CfObject;

namespace {

struct Tap {
    CfObject cf;  // first: the CFMachPortRef points here
    CGEventTapLocation location;
    CGEventTapPlacement placement;
    CGEventTapOptions options;
    CGEventMask mask;
    CGEventTapCallBack callback;
    void *userInfo;
    bool enabled;
};

struct Source {
    CfObject cf;
    Tap *tap;  // retained
    CFIndex order;
};

struct Loop {
    std::vector<std::pair<Source *, CFRunLoopMode>> sources;  // retained
};

struct Posted {
    uint32_t type;
    CGEventFlags flags;
    int64_t keycode, autorepeat, target;
};

// What macOS did with an event: passed it on as it was (1), passed another
// in its place (2), swallowed it (0), or passed it without any tap seeing it
// (3: no enabled tap wants it).
struct Delivery {
    uint32_t type;
    int64_t keycode;
    int verdict;
};

struct Event {
    Posted fields;
};

const UInt32 ownPsnLow = 0x2A0A2;  // this process, as SameProcess resolves kCurrentProcess
const OSErr procNotFound = -600;

std::map<std::thread::id, Loop> loops;  // kept for the process, as a thread's run loop lives on
std::vector<Tap *> taps;
std::deque<Posted> queue;
std::vector<Delivery> deliveries;
bool axEnabled = false, axTrusted = false;

std::recursive_mutex &lock = macstub::stubLock();

bool fails(const char *call) {
    IOReturn code;
    return macstub::injected(call, &code);
}

Loop *currentLoop() { return &loops[std::this_thread::get_id()]; }

// Does this thread's run loop hold a source of tap in the default mode?
bool servedHere(Tap *tap) {
    auto it = loops.find(std::this_thread::get_id());
    if (it == loops.end()) return false;
    for (auto &s : it->second.sources)
        if (s.first->tap == tap && s.second == kCFRunLoopDefaultMode) return true;
    return false;
}

}  // namespace

namespace macstub {

void freeKeytapObject(CfObject *o) {
    if (o->kind == 4) {
        Source *s = reinterpret_cast<Source *>(o);
        Tap *tap = s->tap;
        delete s;
        died("source");
        CFRelease(tap);
        return;
    }
    Tap *t = reinterpret_cast<Tap *>(o);
    for (size_t i = 0; i < taps.size(); i++)
        if (taps[i] == t) taps.erase(taps.begin() + i);
    delete t;
    died("tap");
}

void resetKeytap() {
    queue.clear();
    deliveries.clear();
    axEnabled = axTrusted = false;
}

}  // namespace macstub

extern "C" {

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");

CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef allocator, CFMachPortRef port, CFIndex order) {
    (void)allocator;
    std::lock_guard<std::recursive_mutex> g(lock);
    if (fails("CFMachPortCreateRunLoopSource") || !port) return nullptr;
    Tap *tap = reinterpret_cast<Tap *>(port);
    tap->cf.refs++;
    Source *s = new Source{CfObject{4, 1, 0, {}}, tap, order};
    macstub::born("source");
    return reinterpret_cast<CFRunLoopSourceRef>(s);
}

CFRunLoopRef CFRunLoopGetCurrent(void) {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (fails("CFRunLoopGetCurrent")) return nullptr;
    return reinterpret_cast<CFRunLoopRef>(currentLoop());
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    std::lock_guard<std::recursive_mutex> g(lock);
    macstub::count("CFRunLoopAddSource");
    Loop *l = reinterpret_cast<Loop *>(rl);
    Source *s = reinterpret_cast<Source *>(source);
    for (auto &e : l->sources)
        if (e.first == s && e.second == mode) return;  // already there
    s->cf.refs++;
    l->sources.push_back({s, mode});
}

CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place, CGEventTapOptions options,
                               CGEventMask eventsOfInterest, CGEventTapCallBack callback, void *userInfo) {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (fails("CGEventTapCreate") || !callback) return nullptr;
    if (!axEnabled && !axTrusted) return nullptr;
    Tap *t = new Tap{CfObject{3, 1, 0, {}}, tap, place, options, eventsOfInterest, callback, userInfo, true};
    taps.push_back(t);
    macstub::born("tap");
    return reinterpret_cast<CFMachPortRef>(t);
}

void CGEventTapEnable(CFMachPortRef tap, bool enable) {
    std::lock_guard<std::recursive_mutex> g(lock);
    macstub::count(enable ? "CGEventTapEnable(true)" : "CGEventTapEnable(false)");
    reinterpret_cast<Tap *>(tap)->enabled = enable;
}

CGEventFlags CGEventGetFlags(CGEventRef event) {
    std::lock_guard<std::recursive_mutex> g(lock);
    macstub::count("CGEventGetFlags");
    return event ? reinterpret_cast<Event *>(event)->fields.flags : 0;
}

int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field) {
    std::lock_guard<std::recursive_mutex> g(lock);
    macstub::count("CGEventGetIntegerValueField");
    if (!event) return 0;
    const Posted &p = reinterpret_cast<Event *>(event)->fields;
    switch (field) {
    case kCGKeyboardEventAutorepeat: return p.autorepeat;
    case kCGKeyboardEventKeycode: return p.keycode;
    case kCGEventTargetProcessSerialNumber: return p.target;
    default: return 0;
    }
}

Boolean AXAPIEnabled(void) {
    std::lock_guard<std::recursive_mutex> g(lock);
    macstub::count("AXAPIEnabled");
    return axEnabled;
}

Boolean AXIsProcessTrusted(void) {
    std::lock_guard<std::recursive_mutex> g(lock);
    macstub::count("AXIsProcessTrusted");
    return axTrusted;
}

OSErr SameProcess(const ProcessSerialNumber *PSN1, const ProcessSerialNumber *PSN2, Boolean *result) {
    std::lock_guard<std::recursive_mutex> g(lock);
    IOReturn code;
    if (macstub::injected("SameProcess", &code)) return (OSErr)code;
    auto resolve = [](const ProcessSerialNumber *p) -> uint64_t {
        if (p->highLongOfPSN == 0 && p->lowLongOfPSN == kCurrentProcess) return ownPsnLow;
        return (uint64_t)p->highLongOfPSN << 32 | p->lowLongOfPSN;
    };
    if (resolve(PSN1) == 0 || resolve(PSN2) == 0) return procNotFound;
    *result = resolve(PSN1) == resolve(PSN2);
    return 0;
}

}  // extern "C"

// ---- control, for tests ------------------------------------------------------------------

MACSTUB_API void macstub_set_accessibility(int api_enabled, int trusted) {
    std::lock_guard<std::recursive_mutex> g(lock);
    axEnabled = api_enabled != 0;
    axTrusted = trusted != 0;
}

// The low word of this process's serial number (the high word is 0).
MACSTUB_API unsigned macstub_own_psn(void) { return ownPsnLow; }

// A key event from the keyboard; target is the process serial number it is
// addressed to (high word << 32 | low word).
MACSTUB_API void macstub_post_event(unsigned type, unsigned long long flags, long long keycode,
                                    long long autorepeat, long long target) {
    std::lock_guard<std::recursive_mutex> g(lock);
    queue.push_back(Posted{type, flags, keycode, autorepeat, target});
}

// macOS disables every tap, for a callback too slow (timeout) or for user
// input, and sends each the notice.
MACSTUB_API void macstub_disable_taps(int for_user_input) {
    std::lock_guard<std::recursive_mutex> g(lock);
    for (Tap *t : taps) t->enabled = false;
    uint32_t type = for_user_input ? kCGEventTapDisabledByUserInput : kCGEventTapDisabledByTimeout;
    queue.push_back(Posted{type, 0, 0, 0, 0});
}

// Runs the calling thread's run loop in the default mode until the queue is
// empty. Each event passes through every enabled tap that wants it, newest
// first, until one swallows it; it waits while such a tap is served by
// another thread's run loop. The number of events handled.
MACSTUB_API int macstub_run_loop(void) {
    int handled = 0;
    std::unique_lock<std::recursive_mutex> g(lock);
    while (!queue.empty()) {
        Posted p = queue.front();
        bool notice = p.type == kCGEventTapDisabledByTimeout || p.type == kCGEventTapDisabledByUserInput;
        std::vector<Tap *> route;
        for (size_t i = taps.size(); i-- > 0;) {
            Tap *t = taps[i];
            if (notice || (t->enabled && p.type < 64 && (t->mask >> p.type & 1))) route.push_back(t);
        }
        bool waits = false;
        for (Tap *t : route) waits = waits || !servedHere(t);
        if (waits) break;
        queue.pop_front();
        handled++;
        int verdict = route.empty() ? 3 : 1;
        for (Tap *t : route) {
            t->cf.refs++;  // held while its callback runs
            Event *e = new Event{p};
            macstub::born("event");
            CGEventTapCallBack callback = t->callback;
            void *info = t->userInfo;
            g.unlock();  // the callback calls back in, maybe from Python
            CGEventRef out = callback(reinterpret_cast<CGEventTapProxy>(t), (CGEventType)p.type,
                                      reinterpret_cast<CGEventRef>(e), info);
            g.lock();
            delete e;
            macstub::died("event");
            CFRelease(t);
            if (out != (CGEventRef)e) verdict = out ? 2 : 0;
            if (!out) break;
        }
        if (!notice) deliveries.push_back(Delivery{p.type, p.keycode, verdict});
    }
    return handled;
}

// Takes every source off every thread's run loop, as if those run loops had
// ended; for tests of the stand-in itself, whose taps must not outlive them.
MACSTUB_API void macstub_clear_run_loops(void) {
    std::lock_guard<std::recursive_mutex> g(lock);
    for (auto &l : loops) {
        std::vector<std::pair<Source *, CFRunLoopMode>> sources;
        sources.swap(l.second.sources);
        for (auto &s : sources) CFRelease(s.first);
    }
}

MACSTUB_API int macstub_pending_events(void) {
    std::lock_guard<std::recursive_mutex> g(lock);
    return (int)queue.size();
}

// The n-th event macOS delivered or swallowed: its verdict (see Delivery),
// or -1 when there is no such event.
MACSTUB_API int macstub_delivered(int n, unsigned *type, long long *keycode) {
    std::lock_guard<std::recursive_mutex> g(lock);
    if (n < 0 || n >= (int)deliveries.size()) return -1;
    *type = deliveries[n].type;
    *keycode = deliveries[n].keycode;
    return deliveries[n].verdict;
}

// The newest tap: "location", "placement", "options", "mask", "enabled",
// "taps" (how many exist), "served" (its source is on the calling thread's
// run loop in the default mode); -1 without a tap.
MACSTUB_API long long macstub_tap(const char *what) {
    std::lock_guard<std::recursive_mutex> g(lock);
    std::string w = what;
    if (w == "taps") return (long long)taps.size();
    if (taps.empty()) return -1;
    Tap *t = taps.back();
    if (w == "location") return t->location;
    if (w == "placement") return t->placement;
    if (w == "options") return t->options;
    if (w == "mask") return (long long)t->mask;
    if (w == "enabled") return t->enabled;
    if (w == "served") return servedHere(t);
    return -1000;
}
