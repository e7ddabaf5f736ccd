// Run-time choice of the tile writers: the widest vector level that both this
// build and this CPU support, installed when the library is loaded.
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

bool cpuRuns(DecodePath path) {
#if defined(__x86_64__) || defined(__i386__)
    // Also safe before the runtime's own constructors have run.
    __builtin_cpu_init();
    switch (path) {
    case decodeScalar: return true;
    case decodeSse2: return __builtin_cpu_supports("sse2");
    case decodeAvx2: return __builtin_cpu_supports("avx2");
    case decodeAvx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
    default: return false;
    }
#else
    return path == decodeScalar;
#endif
}

DecodePath current = decodeScalar;

TileWriters installBest() {
    current = bestDecodePath();
    return *writersOf(current);
}

}  // namespace

StaggerQueue staggerQueue;
TileWriters tileWriters = installBest();

bool decodePathAvailable(DecodePath path) {
    const TileWriters *w = writersOf(path);
    if (!w || !cpuRuns(path)) return false;
    return path == decodeScalar || (w->solid && w->image && w->finish);
}

bool setDecodePath(DecodePath path) {
    if (!decodePathAvailable(path)) return false;
    tileWriters = *writersOf(path);
    current = path;
    return true;
}

DecodePath bestDecodePath() {
    for (int p = decodePathCount - 1; p > decodeScalar; p--)
        if (decodePathAvailable((DecodePath)p)) return (DecodePath)p;
    return decodeScalar;
}

DecodePath currentDecodePath() { return current; }

const char *decodePathName(DecodePath path) {
    static const char *const names[decodePathCount] = {"scalar", "sse2", "avx2", "avx512"};
    return path >= 0 && path < decodePathCount ? names[path] : nullptr;
}
