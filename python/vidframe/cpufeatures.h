// Which vector instruction sets this processor and its operating system let
// the kernels use. Worked out from the processor's own identification (cpuid
// and xgetbv) and, on macOS, the kernel's sysctl answers, so nothing depends
// on a compiler runtime. The decision is a pure function of those raw facts.
#pragma once

#include <cstdint>

#include "decode_kernels.h"
#include "resize.h"

struct CpuFeatures {
    bool sse2 = false;
    bool avx2 = false;
    bool avx512f = false;
    bool avx512bw = false;
    bool avx512vl = false;
    bool avx512vbmi = false;
};

// The processor's answers. maxLeaf is 0 when there is no cpuid at all (an
// early 32-bit processor); xcr0 counts only when leaf1Ecx has OSXSAVE.
struct CpuIdWords {
    uint32_t maxLeaf = 0;
    uint32_t leaf1Ecx = 0, leaf1Edx = 0;  // cpuid(1)
    uint32_t leaf7Ebx = 0, leaf7Ecx = 0;  // cpuid(7, 0)
    uint64_t xcr0 = 0;                    // xgetbv(0)
};

// What the operating system says beyond XCR0. Elsewhere XCR0 tells which
// register state the system saves; macOS enables AVX-512 state per thread on
// first use, so there the sysctl hw.optional.avx512f and the kernel release
// (kern.osrelease, Darwin 21.3 being macOS 12.2) decide.
struct CpuOsFacts {
    bool macos = false;
    bool macAvx512 = false;  // hw.optional.avx512f is 1
    int darwinMajor = 0;
    int darwinMinor = 0;
};

// Bits of the cpuid and XCR0 words used here.
namespace cpubit {
constexpr uint32_t sse2 = 1u << 26;     // leaf 1, EDX
constexpr uint32_t osxsave = 1u << 27;  // leaf 1, ECX
constexpr uint32_t avx = 1u << 28;      // leaf 1, ECX
constexpr uint32_t avx2 = 1u << 5;      // leaf 7, EBX
constexpr uint32_t avx512f = 1u << 16;  // leaf 7, EBX
constexpr uint32_t avx512bw = 1u << 30; // leaf 7, EBX
constexpr uint32_t avx512vl = 1u << 31; // leaf 7, EBX
constexpr uint32_t avx512vbmi = 1u << 1;  // leaf 7, ECX
constexpr uint64_t xcr0Ymm = 0x6;         // XMM and upper YMM state
constexpr uint64_t xcr0Zmm = 0xE0;        // opmask, upper ZMM, ZMM16-31 state
}  // namespace cpubit

CpuFeatures cpuFeaturesFrom(const CpuIdWords &words, const CpuOsFacts &os);

// "21.3.0" -> 21, 3. False (and both 0) for anything else.
bool parseKernelRelease(const char *release, int *major, int *minor);

// This machine's, found once; everything false on processors other than x86.
const CpuFeatures &cpuFeatures();

// The paths the core chooses for a processor with the given features, as it
// does for this one when the library loads: whether this build has `path`
// and such a processor runs it, and the fastest such path.
bool decodePathAvailableOn(DecodePath path, const CpuFeatures &cpu);
DecodePath bestDecodePathOn(const CpuFeatures &cpu);
bool shrinkPathAvailableOn(ShrinkPath path, const CpuFeatures &cpu);
ShrinkPath bestShrinkPathOn(const CpuFeatures &cpu);
