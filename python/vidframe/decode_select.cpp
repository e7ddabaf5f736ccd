// Run-time choice of the tile writers: the widest vector level that both this
// build and this CPU support, installed when the library is loaded.
#include "cpufeatures.h"
#include "decode_kernels.h"

namespace {

const TileWriters scalarTileWriters = {nullptr, nullptr, nullptr};

const TileWriters *writersOf(DecodePath path) {
    switch (path) {
    case decodeScalar: return &scalarTileWriters;
    case decodeSse2: return &sse2TileWriters;
    case decodeAvx2: return &avx2TileWriters;
    case decodeAvx512: return &avx512TileWriters;
    default: return nullptr;
    }
}

bool cpuRuns(DecodePath path, const CpuFeatures &cpu) {
    switch (path) {
    case decodeScalar: return true;
    case decodeSse2: return cpu.sse2;
    case decodeAvx2: return cpu.avx2;
    case decodeAvx512: return cpu.avx512f && cpu.avx512bw && cpu.avx512vl && cpu.avx512vbmi;
    default: return false;
    }
}

DecodePath current = decodeScalar;

TileWriters installBest() {
    current = bestDecodePath();
    return *writersOf(current);
}

}  // namespace

StaggerQueue staggerQueue;
TileWriters tileWriters = installBest();

bool decodePathAvailableOn(DecodePath path, const CpuFeatures &cpu) {
    const TileWriters *w = writersOf(path);
    if (!w || !cpuRuns(path, cpu)) return false;
    return path == decodeScalar || (w->solid && w->image && w->finish);
}

DecodePath bestDecodePathOn(const CpuFeatures &cpu) {
    for (int p = decodePathCount - 1; p > decodeScalar; p--)
        if (decodePathAvailableOn((DecodePath)p, cpu)) return (DecodePath)p;
    return decodeScalar;
}

bool decodePathAvailable(DecodePath path) { return decodePathAvailableOn(path, cpuFeatures()); }

bool setDecodePath(DecodePath path) {
    if (!decodePathAvailable(path)) return false;
    tileWriters = *writersOf(path);
    current = path;
    return true;
}

DecodePath bestDecodePath() { return bestDecodePathOn(cpuFeatures()); }

DecodePath currentDecodePath() { return current; }

const char *decodePathName(DecodePath path) {
    static const char *const names[decodePathCount] = {"scalar", "sse2", "avx2", "avx512"};
    return path >= 0 && path < decodePathCount ? names[path] : nullptr;
}
