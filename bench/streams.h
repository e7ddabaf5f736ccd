// Synthetic video streams for the decoder benchmarks: one full frame of tile
// messages per stream, in the shapes the adapter sends.
#ifndef BENCH_STREAMS_H
#define BENCH_STREAMS_H

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace streams {

constexpr int chunkSize = 16384;
constexpr int block = 512;

enum Kind { allSolid, allImage, mix };

inline uint16_t positionWord(int column, int row, bool solid) {
    return (uint16_t)((solid ? 0x4000 : 0) | (row & 0x7F) << 7 | (column & 0x7F));
}

inline void putWord(std::vector<uint8_t> &out, unsigned w) {
    out.push_back((uint8_t)(w & 0xFF));
    out.push_back((uint8_t)(w >> 8));
}

inline std::vector<uint8_t> solidMessage(int column, int row, unsigned colour) {
    std::vector<uint8_t> m;
    putWord(m, colour);
    putWord(m, positionWord(column, row, true));
    return m;
}

inline std::vector<uint8_t> imageMessage(int column, int row, std::mt19937 &rng) {
    std::vector<uint8_t> m;
    m.reserve(516);
    putWord(m, 0);
    putWord(m, positionWord(column, row, false));
    for (int i = 0; i < 256; i++) putWord(m, rng() & 0xFFFF);
    return m;
}

// One message for every tile of a tilesW x tilesH grid, row by row. In a mix
// about 70% of the tiles are solid, the rest image tiles.
inline std::vector<std::vector<uint8_t>> frameMessages(Kind kind, int tilesW, int tilesH,
                                                       unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::vector<std::vector<uint8_t>> msgs;
    for (int row = 0; row < tilesH; row++)
        for (int column = 0; column < tilesW; column++) {
            bool solid = kind == allSolid || (kind == mix && rng() % 10 < 7);
            msgs.push_back(solid ? solidMessage(column, row, rng() & 0xFFFF)
                                 : imageMessage(column, row, rng));
        }
    return msgs;
}

// Chunks as the adapter sends them: whole messages; when the next message
// does not fit, a padding marker and filler to the block end close the chunk.
inline std::vector<std::vector<uint8_t>> adapterChunks(
    const std::vector<std::vector<uint8_t>> &msgs, int size = chunkSize) {
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<uint8_t> cur;
    for (const auto &m : msgs) {
        if (cur.size() + m.size() > (size_t)size) {
            for (int i = 0; i < 4; i++) cur.push_back(0xFF);
            while (cur.size() % block) cur.push_back(0);
            chunks.push_back(std::move(cur));
            cur.clear();
        }
        cur.insert(cur.end(), m.begin(), m.end());
        if (cur.size() == (size_t)size) {
            chunks.push_back(std::move(cur));
            cur.clear();
        }
    }
    if (!cur.empty()) chunks.push_back(std::move(cur));
    return chunks;
}

// The messages back to back, cut every `size` bytes wherever that falls, so
// image messages straddle chunks and are carried over.
inline std::vector<std::vector<uint8_t>> flatChunks(const std::vector<std::vector<uint8_t>> &msgs,
                                                    int size = chunkSize) {
    std::vector<uint8_t> all;
    for (const auto &m : msgs) all.insert(all.end(), m.begin(), m.end());
    std::vector<std::vector<uint8_t>> chunks;
    for (size_t i = 0; i < all.size(); i += size)
        chunks.emplace_back(all.begin() + i, all.begin() + std::min(all.size(), i + size));
    return chunks;
}

}  // namespace streams

#endif
