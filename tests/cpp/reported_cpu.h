// What this processor runs, as told by sources other than cpufeatures.cpp:
// the compiler's runtime (__builtin_cpu_supports, which reads cpuid and
// XCR0 itself) and the Linux kernel's /proc/cpuinfo flags. Both count a set
// only when the system saves its registers, as the core does. The tests
// hold cpuFeatures() and the path choice to these answers.
#pragma once

#include <string>
#include <vector>

#include "decode_kernels.h"
#include "required.h"
#include "resize.h"

struct ReportedCpu {
    bool sse2 = false;
    bool avx2 = false;
    bool avx512f = false;
    bool avx512bw = false;
    bool avx512vl = false;
    bool avx512vbmi = false;
};

// The compiler runtime's answers on x86; everything false elsewhere (no x86
// vector set exists there).
ReportedCpu compilerRuntimeCpu();

// The kernel's flags for the processor, from the first "flags" line of
// /proc/cpuinfo. Otherwise, with the reason: they cannot describe the
// processor this program runs on (not Linux, or the program runs under an
// emulator, which ctest names in TILESTREAM_TARGET_RUNNER, whose processor
// is not the host's), or they should and cannot be read.
enum class KernelAnswer { flags, otherProcessor, unreadable };
KernelAnswer kernelCpu(ReportedCpu *cpu, std::string *why);

// "sse2 avx2 ..." for messages.
std::string describe(const ReportedCpu &cpu);

// Whether this build carries the x86 vector kernels (every x86 build does,
// each file compiled for its own set; other targets have none by design).
bool buildHasX86Kernels();

// The paths a processor with these sets gets, by what each path needs: SSE2;
// AVX2; AVX-512 F, BW, VL and VBMI (and, for shrinking, AVX2 as well, whose
// kernels take the widths the AVX-512 ones do not plan).
std::vector<DecodePath> decodePathsFor(const ReportedCpu &cpu);
std::vector<ShrinkPath> shrinkPathsFor(const ReportedCpu &cpu);

// The paths the compiler runtime says this processor runs that the core does
// not offer here, by name ("avx2 avx512"); "" when none is missing.
std::string missingDecodePaths();
std::string missingShrinkPaths();

// Ends a test that compares the vector paths with the scalar one when it
// cannot do that fully: for want of a path this processor runs (a failure
// where TILESTREAM_REQUIRE names "vector-paths", the paths this processor
// has; elsewhere the test goes on with the paths offered, or skips when there
// are none), or because the processor runs none (a processor without the x86
// vector sets, such as an aarch64 one: nothing to compare, by design).
#define SKIP_UNLESS_THE_CPUS_VECTOR_PATHS(missing, offeredAny, kind)                          \
    do {                                                                                      \
        std::string missing_ = (missing);                                                     \
        if (!missing_.empty() && (requiredHere("vector-paths") || !(offeredAny)))             \
            SKIP_OR_FAIL_FOR_WANT_OF("vector-paths", "this processor runs "                   \
                                                         << describe(compilerRuntimeCpu())    \
                                                         << " but the core offers no "        \
                                                         << missing_ << " " kind " path");    \
        if (!(offeredAny))                                                                    \
            GTEST_SKIP() << "no " kind " vector path to compare: this processor runs none "   \
                            "of the x86 vector sets ("                                        \
                         << (buildHasX86Kernels() ? "no SSE2" : "not an x86 build") << ")";   \
    } while (0)
