// SSE2 kernels of the shrinking passes.
#include "resize.h"

const ShrinkKernels sse2ShrinkKernels = {nullptr, nullptr};
