// The key-tap half of the stand-in keeps to the documented rules that the
// module relies on: taps start enabled, notices reach a disabled tap, the
// callback's answer decides delivery, sources and run loops hold what is
// added to them, and run loops serve only their own thread.
#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

extern "C" {
void macstub_reset(void);
int macstub_live(const char *kind);
void macstub_fail_next(const char *call, unsigned code, int null_result, int after);
void macstub_set_accessibility(int api_enabled, int trusted);
unsigned macstub_own_psn(void);
void macstub_post_event(unsigned type, unsigned long long flags, long long keycode, long long autorepeat,
                        long long target);
void macstub_disable_taps(int for_user_input);
int macstub_run_loop(void);
int macstub_pending_events(void);
int macstub_delivered(int n, unsigned *type, long long *keycode);
long long macstub_tap(const char *what);
void macstub_clear_run_loops(void);
}

namespace {

struct Seen {
    std::vector<CGEventType> types;
    std::vector<int64_t> keys;
    bool swallow = false;
};

CGEventRef record(CGEventTapProxy, CGEventType type, CGEventRef event, void *info) {
    Seen *seen = static_cast<Seen *>(info);
    seen->types.push_back(type);
    seen->keys.push_back(CGEventGetIntegerValueField(event, kCGKeyboardEventKeycode));
    return seen->swallow ? nullptr : event;
}

const CGEventMask keys = 1 << kCGEventKeyDown | 1 << kCGEventKeyUp;

int verdict(int n) {
    unsigned type;
    long long key;
    return macstub_delivered(n, &type, &key);
}

TEST(KeyTap, CreationNeedsAccessibilityAndStartsEnabled) {
    macstub_reset();
    macstub_clear_run_loops();
    Seen seen;
    EXPECT_EQ(CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, keys, record,
                               &seen),
              nullptr);
    macstub_set_accessibility(0, 1);
    macstub_fail_next("CGEventTapCreate", 0, 1, 0);
    EXPECT_EQ(CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, keys, record,
                               &seen),
              nullptr);
    CFMachPortRef tap = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                                         keys, record, &seen);
    ASSERT_NE(tap, nullptr);
    EXPECT_EQ(macstub_tap("enabled"), 1);
    EXPECT_EQ(macstub_tap("mask"), (long long)keys);
    EXPECT_EQ(macstub_live("tap"), 1);
    CFRelease(tap);
    EXPECT_EQ(macstub_live("tap"), 0);
    EXPECT_EQ(macstub_tap("taps"), 0);
}

TEST(KeyTap, SourcesAndRunLoopsHoldWhatIsAddedAndServeTheirThread) {
    macstub_reset();
    macstub_clear_run_loops();
    macstub_set_accessibility(1, 0);
    Seen seen;
    CFMachPortRef tap = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                                         keys, record, &seen);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap, 0);
    CFRelease(tap);
    EXPECT_EQ(macstub_live("tap"), 1);  // the source keeps its port
    macstub_post_event(kCGEventKeyDown, 0, 4, 0, 0);
    EXPECT_EQ(macstub_run_loop(), 0);  // no run loop serves the tap yet
    // Served by another thread's run loop, the event waits here.
    std::thread([source] { CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode); }).join();
    EXPECT_EQ(macstub_run_loop(), 0);
    EXPECT_EQ(macstub_pending_events(), 1);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    CFRelease(source);
    EXPECT_EQ(macstub_live("source"), 1);  // the run loops keep it
    EXPECT_EQ(macstub_tap("served"), 1);
    EXPECT_EQ(macstub_run_loop(), 1);
    ASSERT_EQ(seen.keys.size(), 1u);
    EXPECT_EQ(seen.keys[0], 4);
    EXPECT_EQ(verdict(0), 1);
    EXPECT_EQ(macstub_live("event"), 0);
    macstub_clear_run_loops();
    EXPECT_EQ(macstub_live("source"), 0);
    EXPECT_EQ(macstub_live("tap"), 0);
}

TEST(KeyTap, VerdictsMasksAndNotices) {
    macstub_reset();
    macstub_clear_run_loops();
    macstub_set_accessibility(1, 1);
    Seen seen;
    CFMachPortRef tap = CGEventTapCreate(kCGSessionEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                                         keys, record, &seen);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    CFRelease(source);
    seen.swallow = true;
    macstub_post_event(kCGEventKeyUp, 0, 1, 0, 0);
    macstub_post_event(kCGEventFlagsChanged, 0, 56, 0, 0);  // not in the mask
    EXPECT_EQ(macstub_run_loop(), 2);
    CGEventTapEnable(tap, false);
    macstub_post_event(kCGEventKeyDown, 0, 2, 0, 0);  // nobody sees it
    EXPECT_EQ(macstub_run_loop(), 1);
    CGEventTapEnable(tap, true);
    macstub_disable_taps(1);
    macstub_post_event(kCGEventKeyDown, 0, 3, 0, 0);
    EXPECT_EQ(macstub_run_loop(), 2);
    EXPECT_EQ(verdict(0), 0);
    EXPECT_EQ(verdict(1), 3);
    EXPECT_EQ(verdict(2), 3);
    EXPECT_EQ(verdict(3), 3);  // the notice disabled the tap
    EXPECT_EQ(verdict(4), -1);
    ASSERT_EQ(seen.types.size(), 2u);
    EXPECT_EQ(seen.types[1], kCGEventTapDisabledByUserInput);
    EXPECT_EQ(macstub_tap("enabled"), 0);
    macstub_clear_run_loops();
    CFRelease(tap);
    EXPECT_EQ(macstub_live(nullptr), 0);
}

TEST(KeyTap, SameProcessResolvesTheCurrentProcess) {
    macstub_reset();
    const ProcessSerialNumber current = {0, kCurrentProcess}, own = {0, macstub_own_psn()}, other = {0, 0x777};
    Boolean same = false;
    EXPECT_EQ(SameProcess(&own, &current, &same), 0);
    EXPECT_TRUE(same);
    EXPECT_EQ(SameProcess(&other, &current, &same), 0);
    EXPECT_FALSE(same);
    macstub_fail_next("SameProcess", (unsigned)-50, 0, 0);
    same = 7;
    EXPECT_EQ(SameProcess(&own, &current, &same), -50);
    EXPECT_EQ(same, 7);  // untouched on failure
}

}  // namespace
