// The choice of vector instruction sets from raw cpuid/xgetbv words and the
// operating system's answers: what the processor reports counts only when the
// system saves the registers, and on macOS AVX-512 follows the sysctl and the
// kernel release instead of XCR0. The register values are written out as the
// processors report them, bit positions as the processor manuals document
// them (cpuid leaf 1 EDX 26 SSE2, ECX 27 OSXSAVE and 28 AVX; leaf 7 EBX 5
// AVX2, 16 AVX512F, 30 AVX512BW and 31 AVX512VL, ECX 1 AVX512_VBMI; XCR0 1
// SSE, 2 AVX, 5 opmask, 6 ZMM_Hi256 and 7 Hi16_ZMM state), never taken from
// the code under test. This machine's answer is held to the compiler
// runtime's and the kernel's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cpufeatures.h"
#include "decode_kernels.h"
#include "reported_cpu.h"
#include "resize.h"

namespace {

// Exactly the bits the kernels' sets depend on, and nothing else.
CpuIdWords onlyTheNeededBits() {
    CpuIdWords w;
    w.maxLeaf = 7;
    w.leaf1Edx = 0x04000000;  // SSE2
    w.leaf1Ecx = 0x18000000;  // OSXSAVE, AVX
    w.leaf7Ebx = 0xC0010020;  // AVX512VL, AVX512BW, AVX512F, AVX2
    w.leaf7Ecx = 0x00000002;  // AVX512_VBMI
    w.xcr0 = 0xE7;            // x87, SSE, AVX, opmask, ZMM_Hi256, Hi16_ZMM
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

ReportedCpu reported(const CpuFeatures &f) {
    ReportedCpu r;
    r.sse2 = f.sse2;
    r.avx2 = f.avx2;
    r.avx512f = f.avx512f;
    r.avx512bw = f.avx512bw;
    r.avx512vl = f.avx512vl;
    r.avx512vbmi = f.avx512vbmi;
    return r;
}

std::string describe(const CpuFeatures &f) { return ::describe(reported(f)); }

TEST(CpuFeatures, EachDocumentedBitAndOnlyIt) {
    EXPECT_EQ(describe(cpuFeaturesFrom(onlyTheNeededBits(), CpuOsFacts())),
              "sse2 avx2 avx512f avx512bw avx512vl avx512vbmi");

    // Each bit taken away takes its own sets with it.
    struct Case {
        const char *bit;
        uint32_t CpuIdWords::*word;
        uint32_t mask;
        const char *left;
    };
    const Case cases[] = {
        {"leaf 1 EDX 26 (SSE2)", &CpuIdWords::leaf1Edx, 0x04000000,
         "avx2 avx512f avx512bw avx512vl avx512vbmi"},
        // Without OSXSAVE nothing says the system saves the wider registers.
        {"leaf 1 ECX 27 (OSXSAVE)", &CpuIdWords::leaf1Ecx, 0x08000000, "sse2"},
        // AVX-512 is found as the manuals describe it: its own bits and the
        // saved state; AVX2 also needs the AVX bit.
        {"leaf 1 ECX 28 (AVX)", &CpuIdWords::leaf1Ecx, 0x10000000,
         "sse2 avx512f avx512bw avx512vl avx512vbmi"},
        {"leaf 7 EBX 5 (AVX2)", &CpuIdWords::leaf7Ebx, 0x00000020,
         "sse2 avx512f avx512bw avx512vl avx512vbmi"},
        {"leaf 7 EBX 16 (AVX512F)", &CpuIdWords::leaf7Ebx, 0x00010000, "sse2 avx2"},
        {"leaf 7 EBX 30 (AVX512BW)", &CpuIdWords::leaf7Ebx, 0x40000000,
         "sse2 avx2 avx512f avx512vl avx512vbmi"},
        {"leaf 7 EBX 31 (AVX512VL)", &CpuIdWords::leaf7Ebx, 0x80000000,
         "sse2 avx2 avx512f avx512bw avx512vbmi"},
        {"leaf 7 ECX 1 (AVX512_VBMI)", &CpuIdWords::leaf7Ecx, 0x00000002,
         "sse2 avx2 avx512f avx512bw avx512vl"},
    };
    for (const Case &c : cases) {
        CpuIdWords w = onlyTheNeededBits();
        w.*c.word &= ~c.mask;
        EXPECT_EQ(describe(cpuFeaturesFrom(w, CpuOsFacts())), c.left) << "without " << c.bit;
    }

    // Every other bit set and these clear: nothing. A set read from a wrong
    // position would show up here.
    CpuIdWords w = onlyTheNeededBits();
    w.leaf1Edx = ~w.leaf1Edx;
    w.leaf1Ecx = ~w.leaf1Ecx;
    w.leaf7Ebx = ~w.leaf7Ebx;
    w.leaf7Ecx = ~w.leaf7Ecx;
    EXPECT_EQ(describe(cpuFeaturesFrom(w, CpuOsFacts())), "(none)");
}

TEST(CpuFeatures, Xcr0StateBits) {
    // Each state component the wider registers need, taken away alone.
    struct Case {
        uint64_t xcr0;
        const char *left;
    };
    const Case cases[] = {
        {0xE7, "sse2 avx2 avx512f avx512bw avx512vl avx512vbmi"},
        {0xE7 & ~0x2ull, "sse2"},  // SSE state
        {0xE7 & ~0x4ull, "sse2"},  // AVX (upper YMM) state
        {0xE7 & ~0x20ull, "sse2 avx2"},  // opmask
        {0xE7 & ~0x40ull, "sse2 avx2"},  // ZMM_Hi256
        {0xE7 & ~0x80ull, "sse2 avx2"},  // Hi16_ZMM
        {0x7, "sse2 avx2"},              // AVX saved, AVX-512 not (disabled at boot)
        {0x3, "sse2"},                   // SSE only: a system without AVX support
        {0xFFFFFFFFFFFFFF18ull, "sse2"},  // everything but the needed components
    };
    for (const Case &c : cases) {
        CpuIdWords w = onlyTheNeededBits();
        w.xcr0 = c.xcr0;
        EXPECT_EQ(describe(cpuFeaturesFrom(w, CpuOsFacts())), c.left) << std::hex << c.xcr0;
    }
}

TEST(CpuFeatures, NoCpuidOrLowLeaves) {
    // An early 32-bit processor without cpuid: nothing at all.
    CpuIdWords w = onlyTheNeededBits();
    w.maxLeaf = 0;
    EXPECT_EQ(describe(cpuFeaturesFrom(w, CpuOsFacts())), "(none)");
    // Leaf 7 missing: its words are not to be trusted, SSE2 still holds.
    w.maxLeaf = 6;
    EXPECT_EQ(describe(cpuFeaturesFrom(w, CpuOsFacts())), "sse2");
}

// Processors as they report themselves (whole registers, every other feature
// bit as the processor sets it) and the paths the core chooses on each.
struct FakeCpu {
    const char *name;
    uint32_t maxLeaf, leaf1Ecx, leaf1Edx, leaf7Ebx, leaf7Ecx;
    uint64_t xcr0;
    CpuOsFacts os;
    const char *sets;
    DecodePath decode;
    ShrinkPath shrink;
};

// Linux, Windows: XCR0 is the system's answer.
CpuOsFacts xcr0System() { return CpuOsFacts(); }

const FakeCpu fakeCpus[] = {
    // SSE but no SSE2, no leaf 7.
    {"Pentium III", 0x3, 0x00000000, 0x0383FBFF, 0, 0, 0, xcr0System(), "(none)", decodeScalar,
     shrinkScalar},
    // SSE2 to SSE4.1, no XSAVE or AVX.
    {"Core 2 (Penryn)", 0xD, 0x0008E3BD, 0xBFEBFBFF, 0, 0, 0, xcr0System(), "sse2", decodeSse2,
     shrinkSse2},
    {"Haswell", 0xD, 0x7FFAFBBF, 0xBFEBFBFF, 0x000027AB, 0x00000000, 0x7, xcr0System(), "sse2 avx2",
     decodeAvx2, shrinkAvx2},
    // The same under a system that never enabled XSAVE (OSXSAVE clear).
    {"Haswell, no XSAVE", 0xD, 0x77FAFBBF, 0xBFEBFBFF, 0x000027AB, 0x00000000, 0, xcr0System(),
     "sse2", decodeSse2, shrinkSse2},
    // AVX-512 F/BW/VL without VBMI: the AVX2 paths.
    {"Skylake-SP", 0x16, 0x7FFEFBFF, 0xBFEBFBFF, 0xD39FFFFB, 0x00000018, 0x2E7, xcr0System(),
     "sse2 avx2 avx512f avx512bw avx512vl", decodeAvx2, shrinkAvx2},
    {"Ice Lake-SP", 0x1B, 0x7FFEFBFF, 0xBFEBFBFF, 0xF3BFB7EF, 0x18415F5E, 0x2E7, xcr0System(),
     "sse2 avx2 avx512f avx512bw avx512vl avx512vbmi", decodeAvx512, shrinkAvx512},
    // Linux booted with the AVX-512 state off.
    {"Ice Lake-SP, AVX-512 state off", 0x1B, 0x7FFEFBFF, 0xBFEBFBFF, 0xF3BFB7EF, 0x18415F5E, 0x207,
     xcr0System(), "sse2 avx2", decodeAvx2, shrinkAvx2},
    // A hypervisor that hides AVX2 but passes AVX-512 through: the decoder
    // takes AVX-512, the shrinking (whose AVX-512 kernels lean on AVX2) SSE2.
    {"Ice Lake-SP, AVX2 hidden", 0x1B, 0x7FFEFBFF, 0xBFEBFBFF, 0xF3BFB7CF, 0x18415F5E, 0x2E7,
     xcr0System(), "sse2 avx512f avx512bw avx512vl avx512vbmi", decodeAvx512, shrinkSse2},
    // This machine's processor (a virtual machine: ECX bit 31 set).
    {"AMD EPYC (Zen 3), guest", 0x10, 0xFFFA3203, 0x178BFBFF, 0x219C07AB, 0x0040069C, 0x207,
     xcr0System(), "sse2 avx2", decodeAvx2, shrinkAvx2},
    // macOS on a Mac with AVX-512: XCR0 before the thread's first AVX-512
    // instruction lacks the state; the sysctl and the release decide.
    {"Ice Lake on macOS 12.2", 0x1B, 0x7FFEFBFF, 0xBFEBFBFF, 0xF3BFB7EF, 0x18415F5E, 0x7,
     macos(true, 21, 3), "sse2 avx2 avx512f avx512bw avx512vl avx512vbmi", decodeAvx512,
     shrinkAvx512},
    {"Ice Lake on macOS 11.6", 0x1B, 0x7FFEFBFF, 0xBFEBFBFF, 0xF3BFB7EF, 0x18415F5E, 0x7,
     macos(true, 20, 6), "sse2 avx2", decodeAvx2, shrinkAvx2},
};

CpuIdWords wordsOf(const FakeCpu &c) {
    CpuIdWords w;
    w.maxLeaf = c.maxLeaf;
    w.leaf1Ecx = c.leaf1Ecx;
    w.leaf1Edx = c.leaf1Edx;
    w.leaf7Ebx = c.leaf7Ebx;
    w.leaf7Ecx = c.leaf7Ecx;
    w.xcr0 = c.xcr0;
    return w;
}

TEST(CpuFeatures, PathsChosenOnFakeProcessors) {
    for (const FakeCpu &c : fakeCpus) {
        SCOPED_TRACE(c.name);
        CpuFeatures f = cpuFeaturesFrom(wordsOf(c), c.os);
        EXPECT_EQ(describe(f), c.sets);
        // Other targets build no x86 kernels: the scalar paths whatever the
        // processor says.
        DecodePath decode = buildHasX86Kernels() ? c.decode : decodeScalar;
        ShrinkPath shrink = buildHasX86Kernels() ? c.shrink : shrinkScalar;
        EXPECT_STREQ(decodePathName(bestDecodePathOn(f)), decodePathName(decode));
        EXPECT_EQ(bestShrinkPathOn(f), shrink);
        // Below the best, every path whose sets the processor has is offered
        // too (the tests compare each with the scalar one).
        ReportedCpu sets = reported(f);
        std::vector<DecodePath> decodes;
        for (int p = 0; p < decodePathCount; p++)
            if (decodePathAvailableOn((DecodePath)p, f)) decodes.push_back((DecodePath)p);
        EXPECT_EQ(decodes, decodePathsFor(sets));
        EXPECT_EQ(decodes.back(), decode);
        std::vector<ShrinkPath> shrinks;
        for (int p = 0; p < shrinkPathCount; p++)
            if (shrinkPathAvailableOn((ShrinkPath)p, f)) shrinks.push_back((ShrinkPath)p);
        EXPECT_EQ(shrinks, shrinkPathsFor(sets));
        EXPECT_EQ(shrinks.back(), shrink);
        // Unknown paths are never offered.
        EXPECT_FALSE(decodePathAvailableOn(decodePathCount, f));
        EXPECT_FALSE(decodePathAvailableOn((DecodePath)-1, f));
        EXPECT_FALSE(shrinkPathAvailableOn(shrinkPathCount, f));
        EXPECT_FALSE(shrinkPathAvailableOn((ShrinkPath)-1, f));
    }
}

TEST(CpuFeatures, MacosAvx512FollowsSysctlAndRelease) {
    // What a thread sees before its first AVX-512 instruction: XCR0 without
    // the AVX-512 state. The sysctl and a fixed kernel (12.2 = Darwin 21.3)
    // are what count.
    CpuIdWords w = onlyTheNeededBits();
    w.xcr0 = 0x7;
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
    w = onlyTheNeededBits();
    f = cpuFeaturesFrom(w, macos(false, 22, 0));
    EXPECT_TRUE(f.avx2);
    EXPECT_TRUE(noAvx512(f));

    // The sysctl does not stand in for the processor's own bits, nor for the
    // AVX state XCR0 must still show.
    w = onlyTheNeededBits();
    w.leaf7Ebx &= ~0x00010000u;  // AVX512F
    EXPECT_TRUE(noAvx512(cpuFeaturesFrom(w, macos(true, 22, 0))));
    w = onlyTheNeededBits();
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

// This machine, as the compiler runtime reads it (its own cpuid and XCR0
// reading, which also runs under an emulator).
TEST(CpuFeatures, ThisMachineAsTheCompilerRuntimeSeesIt) {
    EXPECT_EQ(describe(cpuFeatures()), describe(compilerRuntimeCpu()));
#if defined(__x86_64__)
    EXPECT_TRUE(cpuFeatures().sse2);  // every x86-64 has it
#endif
}

// This machine, as the kernel lists its flags (which it clears for sets whose
// registers it does not save).
TEST(CpuFeatures, ThisMachineAsTheKernelSeesIt) {
    ReportedCpu kernel;
    std::string why;
    switch (kernelCpu(&kernel, &why)) {
    case KernelAnswer::flags: break;
    case KernelAnswer::otherProcessor: GTEST_SKIP() << why;
    case KernelAnswer::unreadable: FAIL() << why;
    }
    EXPECT_EQ(describe(cpuFeatures()), describe(kernel));
}

}  // namespace
