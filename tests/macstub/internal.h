// What the two halves of the stand-in (macstub.cpp: the USB registry,
// keytap.cpp: event taps and run loops) share.
#ifndef MACSTUB_INTERNAL_H
#define MACSTUB_INTERNAL_H

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <map>
#include <mutex>

#define MACSTUB_API extern "C" __attribute__((visibility("default")))

namespace macstub {

// Every CF object starts with this header; CFRelease frees by kind.
struct CfObject {
    int kind;  // 1 number, 2 dictionary, 3 event tap (a Mach port), 4 run-loop source
    int refs;
    SInt32 value;
    std::map<const void *, const CfObject *> entries;
};

std::recursive_mutex &stubLock();
// Counts the call and answers with an injected failure, if one is queued.
bool injected(const char *call, IOReturn *code, bool *nullResult = nullptr);
void count(const char *call);
void born(const char *kind);
void died(const char *kind);
// Frees a tap or source whose last reference went (the lock is held).
void freeKeytapObject(CfObject *o);
// Forgets queued events, delivery records and scripted answers of the key tap.
void resetKeytap();

}  // namespace macstub

#endif
