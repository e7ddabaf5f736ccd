// The choice of vector instruction sets from raw cpuid/xgetbv words and the
// operating system's answers: what the processor reports counts only when the
// system saves the registers, and on macOS AVX-512 follows the sysctl and the
// kernel release instead of XCR0.
#include <gtest/gtest.h>

#include "cpufeatures.h"
#include "decode_kernels.h"
#include "resize.h"

namespace {

using namespace cpubit;

// A processor with everything the kernels use: SSE2, AVX, AVX2 and the
// AVX-512 F/BW/VL/VBMI set, its state saved by the system (XCR0 x87, SSE,
// AVX and the three AVX-512 components).
CpuIdWords everything() {
    CpuIdWords w;
    w.maxLeaf = 0x16;
    w.leaf1Edx = sse2;
    w.leaf1Ecx = osxsave | avx;
    w.leaf7Ebx = avx2 | avx512f | avx512bw | avx512vl;
    w.leaf7Ecx = avx512vbmi;
    w.xcr0 = 0x1 | xcr0Ymm | xcr0Zmm;
    return w;
}

CpuOsFacts macos(bool sysctlAvx512, int darwinMajor, int darwinMinor) {
    CpuOsFacts os;
    os.macos = true;
    os.macAvx512 = sysctlAvx512;
    os.darwinMajor = darwinMajor;
    os.darwinMinor = darwinMinor;
    return os;
}

bool allAvx512(const CpuFeatures &f) {
    return f.avx512f && f.avx512bw && f.avx512vl && f.avx512vbmi;
}

bool noAvx512(const CpuFeatures &f) {
    return !f.avx512f && !f.avx512bw && !f.avx512vl && !f.avx512vbmi;
}

TEST(CpuFeatures, EverythingReportedAndSaved) {
    CpuFeatures f = cpuFeaturesFrom(everything(), CpuOsFacts());
    EXPECT_TRUE(f.sse2);
    EXPECT_TRUE(f.avx2);
    EXPECT_TRUE(allAvx512(f));
}

TEST(CpuFeatures, NoCpuidOrLowLeaves) {
    // An early 32-bit processor without cpuid: nothing at all.
    CpuIdWords w = everything();
    w.maxLeaf = 0;
    CpuFeatures f = cpuFeaturesFrom(w, CpuOsFacts());
    EXPECT_FALSE(f.sse2 || f.avx2 || f.avx512f);
    // Leaf 7 missing: its words are not to be trusted, SSE2 still holds.
    w.maxLeaf = 6;
    f = cpuFeaturesFrom(w, CpuOsFacts());
    EXPECT_TRUE(f.sse2);
    EXPECT_FALSE(f.avx2);
    EXPECT_TRUE(noAvx512(f));
}

TEST(CpuFeatures, EachProcessorBitGatesItsOwnSet) {
    CpuIdWords w = everything();
    w.leaf1Edx = 0;  // a plain i686: AVX2 alone is not made to depend on SSE2
    CpuFeatures f = cpuFeaturesFrom(w, CpuOsFacts());
    EXPECT_FALSE(f.sse2);
    EXPECT_TRUE(f.avx2);

    w = everything();
    w.leaf1Ecx &= ~avx;  // AVX2 without AVX is not believed
    EXPECT_FALSE(cpuFeaturesFrom(w, CpuOsFacts()).avx2);

    w = everything();
    w.leaf7Ebx &= ~avx2;
    f = cpuFeaturesFrom(w, CpuOsFacts());
    EXPECT_FALSE(f.avx2);
    EXPECT_TRUE(allAvx512(f));  // the resize choice adds the AVX2 condition itself

    w = everything();
    w.leaf7Ebx &= ~avx512f;  // no foundation: none of the AVX-512 subsets
    EXPECT_TRUE(noAvx512(cpuFeaturesFrom(w, CpuOsFacts())));

    w = everything();
    w.leaf7Ecx = 0;  // an AVX-512 processor without VBMI (Skylake server)
    f = cpuFeaturesFrom(w, CpuOsFacts());
    EXPECT_TRUE(f.avx512f && f.avx512bw && f.avx512vl);
    EXPECT_FALSE(f.avx512vbmi);
}

TEST(CpuFeatures, Xcr0DecidesOutsideMacos) {
    CpuIdWords w = everything();
    w.leaf1Ecx &= ~osxsave;  // the system never enabled XSAVE: XCR0 is not read
    CpuFeatures f = cpuFeaturesFrom(w, CpuOsFacts());
    EXPECT_TRUE(f.sse2);
    EXPECT_FALSE(f.avx2);
    EXPECT_TRUE(noAvx512(f));

    w = everything();
    w.xcr0 = 0x1 | 0x2;  // SSE state only (a system without AVX support)
    f = cpuFeaturesFrom(w, CpuOsFacts());
    EXPECT_FALSE(f.avx2);
    EXPECT_TRUE(noAvx512(f));

    w = everything();
    w.xcr0 = 0x1 | xcr0Ymm;  // AVX saved, AVX-512 not (e.g. disabled at boot)
    f = cpuFeaturesFrom(w, CpuOsFacts());
    EXPECT_TRUE(f.avx2);
    EXPECT_TRUE(noAvx512(f));

    for (uint64_t missing : {0x20ull, 0x40ull, 0x80ull}) {  // any one ZMM component
        w = everything();
        w.xcr0 &= ~missing;
        EXPECT_TRUE(noAvx512(cpuFeaturesFrom(w, CpuOsFacts()))) << std::hex << missing;
    }
}

TEST(CpuFeatures, MacosAvx512FollowsSysctlAndRelease) {
    // What a thread sees before its first AVX-512 instruction: XCR0 without
    // the AVX-512 state. The sysctl and a fixed kernel (12.2 = Darwin 21.3)
    // are what count.
    CpuIdWords w = everything();
    w.xcr0 = 0x1 | xcr0Ymm;
    CpuFeatures f = cpuFeaturesFrom(w, macos(true, 21, 3));
    EXPECT_TRUE(f.avx2);
    EXPECT_TRUE(allAvx512(f));
    EXPECT_TRUE(allAvx512(cpuFeaturesFrom(w, macos(true, 23, 0))));

    // Before 12.2 (12.1 = Darwin 21.2, 11.x = 20.x) the mask registers may be
    // lost on a context switch: no AVX-512 whatever the processor says.
    EXPECT_TRUE(noAvx512(cpuFeaturesFrom(w, macos(true, 21, 2))));
    EXPECT_TRUE(noAvx512(cpuFeaturesFrom(w, macos(true, 20, 6))));
    EXPECT_TRUE(noAvx512(cpuFeaturesFrom(w, macos(true, 0, 0))));  // release unknown

    // The system says no: XCR0 with every bit set does not override it.
    w = everything();
    f = cpuFeaturesFrom(w, macos(false, 22, 0));
    EXPECT_TRUE(f.avx2);
    EXPECT_TRUE(noAvx512(f));

    // The sysctl does not stand in for the processor's own bits, nor for the
    // AVX state XCR0 must still show.
    w = everything();
    w.leaf7Ebx &= ~avx512f;
    EXPECT_TRUE(noAvx512(cpuFeaturesFrom(w, macos(true, 22, 0))));
    w = everything();
    w.xcr0 = 0x3;
    f = cpuFeaturesFrom(w, macos(true, 22, 0));
    EXPECT_FALSE(f.avx2);
    EXPECT_TRUE(noAvx512(f));
}

TEST(CpuFeatures, KernelRelease) {
    int major = -1, minor = -1;
    EXPECT_TRUE(parseKernelRelease("21.3.0", &major, &minor));
    EXPECT_EQ(21, major);
    EXPECT_EQ(3, minor);
    EXPECT_TRUE(parseKernelRelease("24.0", &major, &minor));
    EXPECT_EQ(24, major);
    EXPECT_EQ(0, minor);
    for (const char *bad : {"", "21", "21.", ".3", "x21.3", "21.x", "-1.3", "99999.1"}) {
        EXPECT_FALSE(parseKernelRelease(bad, &major, &minor)) << bad;
        EXPECT_EQ(0, major);
        EXPECT_EQ(0, minor);
    }
    EXPECT_FALSE(parseKernelRelease(nullptr, &major, &minor));
}

// The paths the core offers are exactly those built in that this machine's
// features allow, and the best one is installed when the library loads.
TEST(CpuFeatures, PathsFollowThisMachine) {
    const CpuFeatures &cpu = cpuFeatures();
    bool avx512 = allAvx512(cpu);
    EXPECT_EQ(sse2TileWriters.solid && cpu.sse2, decodePathAvailable(decodeSse2));
    EXPECT_EQ(avx2TileWriters.solid && cpu.avx2, decodePathAvailable(decodeAvx2));
    EXPECT_EQ(avx512TileWriters.solid && avx512, decodePathAvailable(decodeAvx512));

    ShrinkPath before = currentShrinkPath();
    EXPECT_EQ(before, bestShrinkPath());
    EXPECT_EQ(sse2ShrinkKernels.shrinkX && cpu.sse2, setShrinkPath(shrinkSse2));
    EXPECT_EQ(avx2ShrinkKernels.shrinkX && cpu.avx2, setShrinkPath(shrinkAvx2));
    EXPECT_EQ(avx512ShrinkKernels.shrinkX && avx2ShrinkKernels.shrinkX && cpu.avx2 && avx512,
              setShrinkPath(shrinkAvx512));
    ASSERT_TRUE(setShrinkPath(before));
#if defined(__x86_64__)
    EXPECT_TRUE(cpu.sse2);  // every x86-64 has it
#elif !defined(__i386__)
    EXPECT_FALSE(cpu.sse2 || cpu.avx2 || cpu.avx512f);
#endif
}

}  // namespace
