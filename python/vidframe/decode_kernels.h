// Whole-tile writers of the stream decoder, one set per instruction-set level.
//
// The decoder hands every tile that lies entirely inside the frame to the
// writers of the current path; edge tiles that need clipping, and every tile
// on the scalar path, go through the decoder's own straightforward loops,
// which are the reference the vector paths must match byte for byte.
//
// The best path this CPU can run is installed when the library is loaded;
// tests and benchmarks force a path with setDecodePath.
#ifndef DECODE_KERNELS_H
#define DECODE_KERNELS_H

#include <cstddef>
#include <cstdint>

enum DecodePath {
    decodeScalar = 0,  // the reference loops in decoder.cpp
    decodeSse2,        // 128-bit stores
    decodeAvx2,        // 256-bit stores
    decodeAvx512,      // 512-bit stores (AVX-512 F and BW)
    decodePathCount
};

// dst: the tile's top-left pixel; stride: frame row stride in pixels.
typedef void (*SolidTileWriter)(uint32_t *dst, ptrdiff_t stride, uint32_t pixel);
// words: the 256 little-endian 5-6-5 words of an image tile message, row by row.
typedef void (*ImageTileWriter)(uint32_t *dst, ptrdiff_t stride, const uint8_t *words);

struct TileWriters {
    SolidTileWriter solid;  // null: use the reference loop
    ImageTileWriter image;
};

// The writers of the current path. Read by the decoder on every tile.
extern TileWriters tileWriters;

// Makes `path` the current one when this build and CPU can run it and returns
// true; otherwise returns false and leaves the current path as it was.
bool setDecodePath(DecodePath path);

// Whether this build and CPU can run `path`.
bool decodePathAvailable(DecodePath path);

// The fastest available path, and the one in use now.
DecodePath bestDecodePath();
DecodePath currentDecodePath();

// "scalar", "sse2", "avx2", "avx512"; null outside the enum.
const char *decodePathName(DecodePath path);

// Per-level tables; entries are null where the build has no such kernels.
extern const TileWriters sse2TileWriters;
extern const TileWriters avx2TileWriters;
extern const TileWriters avx512TileWriters;

#endif
