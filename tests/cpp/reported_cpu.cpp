// The processor's vector sets as the compiler runtime and the kernel report them.
#include "reported_cpu.h"

#include "cpufeatures.h"

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

ReportedCpu compilerRuntimeCpu() {
    ReportedCpu cpu;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    cpu.sse2 = __builtin_cpu_supports("sse2");
    cpu.avx2 = __builtin_cpu_supports("avx2");
    cpu.avx512f = __builtin_cpu_supports("avx512f");
    cpu.avx512bw = __builtin_cpu_supports("avx512bw");
    cpu.avx512vl = __builtin_cpu_supports("avx512vl");
    cpu.avx512vbmi = __builtin_cpu_supports("avx512vbmi");
#endif
    return cpu;
}

KernelAnswer kernelCpu(ReportedCpu *cpu, std::string *why) {
#if !defined(__linux__)
    (void)cpu;
    *why = "no /proc/cpuinfo on this system";
    return KernelAnswer::otherProcessor;
#else
    const char *runner = std::getenv("TILESTREAM_TARGET_RUNNER");
    if (runner && *runner) {
        *why = std::string("this program runs under ") + runner +
               ", whose processor is not the one /proc/cpuinfo describes";
        return KernelAnswer::otherProcessor;
    }
#if !defined(__x86_64__) && !defined(__i386__)
    // Other processors' kernels list other features ("Features"): none of
    // the x86 sets.
    *cpu = ReportedCpu();
    return KernelAnswer::flags;
#else
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "flags") != 0) continue;
        std::set<std::string> flags;
        std::istringstream words(line.substr(line.find(':') + 1));
        for (std::string w; words >> w;) flags.insert(w);
        cpu->sse2 = flags.count("sse2") > 0;
        cpu->avx2 = flags.count("avx2") > 0;
        cpu->avx512f = flags.count("avx512f") > 0;
        cpu->avx512bw = flags.count("avx512bw") > 0;
        cpu->avx512vl = flags.count("avx512vl") > 0;
        cpu->avx512vbmi = flags.count("avx512vbmi") > 0;
        return KernelAnswer::flags;
    }
    *why = "/proc/cpuinfo has no flags line (every x86 Linux kernel lists one)";
    return KernelAnswer::unreadable;
#endif
#endif
}

std::string describe(const ReportedCpu &cpu) {
    std::string s;
    if (cpu.sse2) s += " sse2";
    if (cpu.avx2) s += " avx2";
    if (cpu.avx512f) s += " avx512f";
    if (cpu.avx512bw) s += " avx512bw";
    if (cpu.avx512vl) s += " avx512vl";
    if (cpu.avx512vbmi) s += " avx512vbmi";
    return s.empty() ? "(none)" : s.substr(1);
}

bool buildHasX86Kernels() {
#if defined(__x86_64__) || defined(__i386__)
    return true;
#else
    return false;
#endif
}

namespace {
bool avx512Set(const ReportedCpu &cpu) {
    return cpu.avx512f && cpu.avx512bw && cpu.avx512vl && cpu.avx512vbmi;
}
}  // namespace

std::vector<DecodePath> decodePathsFor(const ReportedCpu &cpu) {
    std::vector<DecodePath> paths{decodeScalar};
    if (!buildHasX86Kernels()) return paths;
    if (cpu.sse2) paths.push_back(decodeSse2);
    if (cpu.avx2) paths.push_back(decodeAvx2);
    if (avx512Set(cpu)) paths.push_back(decodeAvx512);
    return paths;
}

std::vector<ShrinkPath> shrinkPathsFor(const ReportedCpu &cpu) {
    std::vector<ShrinkPath> paths{shrinkScalar};
    if (!buildHasX86Kernels()) return paths;
    if (cpu.sse2) paths.push_back(shrinkSse2);
    if (cpu.avx2) paths.push_back(shrinkAvx2);
    if (cpu.avx2 && avx512Set(cpu)) paths.push_back(shrinkAvx512);
    return paths;
}

std::string missingDecodePaths() {
    std::string missing;
    for (DecodePath p : decodePathsFor(compilerRuntimeCpu()))
        if (!decodePathAvailable(p))
            missing += std::string(missing.empty() ? "" : " ") + decodePathName(p);
    return missing;
}

std::string missingShrinkPaths() {
    static const char *const names[shrinkPathCount] = {"scalar", "sse2", "avx2", "avx512"};
    std::string missing;
    for (ShrinkPath p : shrinkPathsFor(compilerRuntimeCpu()))
        if (!shrinkPathAvailableOn(p, cpuFeatures()))
            missing += std::string(missing.empty() ? "" : " ") + names[p];
    return missing;
}
