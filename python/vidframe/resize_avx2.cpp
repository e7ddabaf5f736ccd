// AVX2 kernels of the shrinking passes.
#include "resize.h"

const ShrinkKernels avx2ShrinkKernels = {nullptr, nullptr};
