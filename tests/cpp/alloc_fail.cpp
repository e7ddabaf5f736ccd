// Wrapped malloc/calloc that can be told to fail once.
#include "alloc_fail.h"

#include <cstddef>

extern "C" void *__real_malloc(size_t);
extern "C" void *__real_calloc(size_t, size_t);

static int countdown = -1;

static bool shouldFail() {
    if (countdown < 0) return false;
    return countdown-- == 0;
}

void failAllocationAfter(int n) { countdown = n; }

extern "C" void *__wrap_malloc(size_t size) { return shouldFail() ? nullptr : __real_malloc(size); }
extern "C" void *__wrap_calloc(size_t n, size_t size) {
    return shouldFail() ? nullptr : __real_calloc(n, size);
}
