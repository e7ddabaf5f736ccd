// Allocation failure injection for the core tests (the test binary wraps
// malloc and calloc at link time).
#ifndef ALLOC_FAIL_H
#define ALLOC_FAIL_H

// The n-th allocation from now (0 = the next one) fails; -1 disarms.
void failAllocationAfter(int n);

#endif
