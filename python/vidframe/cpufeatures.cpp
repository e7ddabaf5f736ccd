// The vector instruction sets the kernels may use on this machine.
#include "cpufeatures.h"

#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif
#if defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace {

bool has(uint32_t word, uint32_t bit) { return (word & bit) == bit; }

// Whether the system saves the register state the vector sets need.
bool osSavesYmm(const CpuIdWords &w) {
    return has(w.leaf1Ecx, cpubit::osxsave) && (w.xcr0 & cpubit::xcr0Ymm) == cpubit::xcr0Ymm;
}

bool osSavesZmm(const CpuIdWords &w, const CpuOsFacts &os) {
    if (!osSavesYmm(w)) return false;
    if (!os.macos) return (w.xcr0 & cpubit::xcr0Zmm) == cpubit::xcr0Zmm;
    // macOS turns the AVX-512 state on for a thread at its first AVX-512
    // instruction, so XCR0 read before then lacks it; Apple documents the
    // sysctl as the test. Before macOS 12.2 (Darwin 21.3) the mask registers
    // may not survive a context switch, so AVX-512 is left alone there.
    bool fixedKernel = os.darwinMajor > 21 || (os.darwinMajor == 21 && os.darwinMinor >= 3);
    return os.macAvx512 && fixedKernel;
}

}  // namespace

CpuFeatures cpuFeaturesFrom(const CpuIdWords &w, const CpuOsFacts &os) {
    CpuFeatures f;
    if (w.maxLeaf < 1) return f;
    f.sse2 = has(w.leaf1Edx, cpubit::sse2);
    if (w.maxLeaf < 7) return f;
    f.avx2 = has(w.leaf1Ecx, cpubit::avx) && has(w.leaf7Ebx, cpubit::avx2) && osSavesYmm(w);
    if (has(w.leaf7Ebx, cpubit::avx512f) && osSavesZmm(w, os)) {
        f.avx512f = true;
        f.avx512bw = has(w.leaf7Ebx, cpubit::avx512bw);
        f.avx512vl = has(w.leaf7Ebx, cpubit::avx512vl);
        f.avx512vbmi = has(w.leaf7Ecx, cpubit::avx512vbmi);
    }
    return f;
}

bool parseKernelRelease(const char *release, int *major, int *minor) {
    *major = *minor = 0;
    if (!release) return false;
    char *end;
    long a = strtol(release, &end, 10);
    if (end == release || *end != '.' || a < 0 || a > 1000) return false;
    const char *rest = end + 1;
    long b = strtol(rest, &end, 10);
    if (end == rest || b < 0 || b > 1000) return false;
    *major = (int)a;
    *minor = (int)b;
    return true;
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
CpuIdWords readCpuId() {
    CpuIdWords w;
    // 0 also when a 32-bit processor has no cpuid instruction.
    w.maxLeaf = __get_cpuid_max(0, nullptr);
    unsigned a, b, c, d;
    if (w.maxLeaf >= 1) {
        __cpuid(1, a, b, c, d);
        w.leaf1Ecx = c;
        w.leaf1Edx = d;
    }
    if (w.maxLeaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        w.leaf7Ebx = b;
        w.leaf7Ecx = c;
    }
    if (has(w.leaf1Ecx, cpubit::osxsave)) {
        uint32_t lo, hi;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        w.xcr0 = (uint64_t)hi << 32 | lo;
    }
    return w;
}

CpuOsFacts readOsFacts() {
    CpuOsFacts os;
#if defined(__APPLE__)
    os.macos = true;
    int value = 0;
    size_t size = sizeof value;
    os.macAvx512 = sysctlbyname("hw.optional.avx512f", &value, &size, nullptr, 0) == 0 && value == 1;
    // The kernel's release rather than kern.osproductversion, which a process
    // in the system's version compatibility mode sees as 10.16.
    char release[64] = {0};
    size = sizeof release - 1;
    if (sysctlbyname("kern.osrelease", release, &size, nullptr, 0) == 0)
        parseKernelRelease(release, &os.darwinMajor, &os.darwinMinor);
#endif
    return os;
}

CpuFeatures detect() { return cpuFeaturesFrom(readCpuId(), readOsFacts()); }
#else
CpuFeatures detect() { return CpuFeatures(); }
#endif

}  // namespace

const CpuFeatures &cpuFeatures() {
    // A function-local static: safe to ask from other files' static initialisers.
    static const CpuFeatures found = detect();
    return found;
}
