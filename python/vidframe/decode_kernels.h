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

// A fixed underlying type, so any int converts to a DecodePath and an unknown
// one is refused by setDecodePath rather than being undefined.
enum DecodePath : int {
    decodeScalar = 0,  // the reference loops in decoder.cpp
    decodeSse2,        // 128-bit stores
    decodeAvx2,        // 256-bit stores
    decodeAvx512,      // 512-bit stores (AVX-512 F, BW, VL and VBMI)
    decodePathCount
};

// dst: the tile's top-left pixel; stride: frame row stride in pixels.
typedef void (*SolidTileWriter)(uint32_t *dst, ptrdiff_t stride, uint32_t pixel);
// words: the 256 little-endian 5-6-5 words of an image tile message, row by row.
typedef void (*ImageTileWriter)(uint32_t *dst, ptrdiff_t stride, const uint8_t *words);

struct TileWriters {
    SolidTileWriter solid;  // null: use the reference loops
    ImageTileWriter image;
    void (*finish)();       // completes every tile written so far
};

// Staggered tile writes. A tile's 16 rows sit frameWidth x 4 bytes apart;
// when that is a multiple of 4096 (a frame 1024 pixels wide) all of them fall
// into one set of the L1 data cache (two, when the rows straddle lines), more
// lines than a set has ways, and writing all 16 rows at once makes the cache
// evict lines before their stores complete: three to four times slower than
// at other widths. So the vector writers store a tile's top eight rows at
// once and queue the bottom eight, which are written only after
// `staggerDepth` further tiles, when the top rows' lines are done with; this
// costs nothing measurable at other widths. Solid and image rows share one
// first-in-first-out queue: a later message for the same tile still wins, and
// neighbouring tiles' rows, which share cache lines when the frame is not
// line-aligned, are still written close together (separate queues per kind
// measured 6% slower on mixed frames). The decoder calls `finish` before it
// returns, while the image words the queue points to are still valid.
struct PendingRows {
    uint32_t *dst;          // first of the eight rows
    ptrdiff_t stride;
    const uint8_t *words;   // image: their 128 words; solid: null
    uint32_t pixel;         // solid: the pixel
};
constexpr int staggerDepth = 3;
struct StaggerQueue {
    PendingRows rows[staggerDepth];
    int oldest;
    int count;
};
extern StaggerQueue staggerQueue;

// Private to each file that uses it: the vector levels' files are compiled
// for different instruction sets, and must not share one copy.
namespace {

// The staggering shared by every vector level, built on its eight-row writers.
template <void (*SolidRows)(uint32_t *, ptrdiff_t, uint32_t),
          void (*ImageRows)(uint32_t *, ptrdiff_t, const uint8_t *)>
struct StaggeredWriter {
    static void writePending(const PendingRows &p) {
        if (p.words)
            ImageRows(p.dst, p.stride, p.words);
        else
            SolidRows(p.dst, p.stride, p.pixel);
    }
    static void queue(const PendingRows &p) {
        StaggerQueue &q = staggerQueue;
        if (q.count == staggerDepth) {
            writePending(q.rows[q.oldest]);
            q.rows[q.oldest] = p;
            q.oldest = q.oldest + 1 == staggerDepth ? 0 : q.oldest + 1;
        } else {
            int at = q.oldest + q.count;
            q.rows[at >= staggerDepth ? at - staggerDepth : at] = p;
            q.count++;
        }
    }
    static void solid(uint32_t *dst, ptrdiff_t stride, uint32_t pixel) {
        SolidRows(dst, stride, pixel);
        queue(PendingRows{dst + 8 * stride, stride, nullptr, pixel});
    }
    static void image(uint32_t *dst, ptrdiff_t stride, const uint8_t *words) {
        ImageRows(dst, stride, words);
        queue(PendingRows{dst + 8 * stride, stride, words + 256, 0});
    }
    static void finish() {
        StaggerQueue &q = staggerQueue;
        for (int i = 0; i < q.count; i++) {
            int at = q.oldest + i;
            writePending(q.rows[at >= staggerDepth ? at - staggerDepth : at]);
        }
        q.oldest = q.count = 0;
    }
    static constexpr TileWriters writers() { return TileWriters{solid, image, finish}; }
};

}  // namespace

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

// Per-level tables; every entry is null where the build has no such kernels.
extern const TileWriters sse2TileWriters;
extern const TileWriters avx2TileWriters;
extern const TileWriters avx512TileWriters;

#endif
