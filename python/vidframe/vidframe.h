// The frame module's core: the process-wide frame store and every operation
// on it, in plain C++ with no interpreter. The binding (extension.cpp) parses
// arguments, calls these functions and turns their status into exceptions.
#ifndef VIDFRAME_H
#define VIDFRAME_H

#include <cstddef>
#include <cstdint>

// ---- Frame store -----------------------------------------------------------
// Pixels are 4 bytes in memory order red, green, blue, fourth byte; read as a
// little-endian 32-bit word red is bits 0-7 and the fourth byte bits 24-31.

constexpr int maxFrameWidth = 1920;
constexpr int maxFrameHeight = 1600;
constexpr int tileSide = 16;
constexpr int imageMessageSize = 516;  // 4 header bytes + 256 pixels of 5-6-5
constexpr int blockSize = 512;
constexpr int previousDataSize = 2048;

extern int frameWidth;          // pixels; also the row stride in pixels
extern int frameHeight;
extern uint32_t *frameBuffer;   // frameWidth x frameHeight pixels
extern int tilesWidth;          // frameWidth / 16 rounded up
extern int tilesHeight;
extern uint8_t *changedArray;   // one flag per tile, row-major

extern uint8_t *tempBuffer1;    // readout result
extern int tempSize1;
extern uint8_t *tempBuffer2;    // readout intermediate (after the horizontal pass)
extern int tempSize2;

// Decoder carry-over: the start of an image tile message cut off at a chunk end.
extern uint8_t leftoverData[imageMessageSize];
extern int leftoverDataSize;
extern int leftoverDataNeeded;

extern int statsPadding;        // padding markers skipped
extern int statsBogus;          // tile messages outside the tile grid

// Diagnostic record of the last chunk; written, never read.
extern int hackhack;
extern uint8_t previousData[previousDataSize];
extern int previousMessage;

enum VfStatus {
    vfOk = 0,
    vfOutOfRange,      // "args are out of range"
    vfNoMemory,        // MemoryError
    vfBadTopLeft,      // "top-left x,y out of range"
    vfBadWidth,        // "width out of range"
    vfBadHeight,       // "height out of range"
    vfBadScale,        // scale below 1/16 or not a number
};

// (Re)creates the store for width x height pixels. On vfOutOfRange or
// vfNoMemory the previous store is left exactly as it was.
int createFrameStore(int width, int height);

// Copies the statistics out and clears them.
void takeStats(int *padding, int *bogus);

// ---- Decoder ---------------------------------------------------------------

// Decodes the messages of data[position, total); see decoder.cpp.
int ProcessVideoData(const uint8_t *data, int total, int position, bool mayCarry);

// One chunk of the stream, from byte `start` on. On vfOk *result is 0 or 1.
int sinkVideo(const uint8_t *data, int length, int start, int *result);

// ---- Readout ---------------------------------------------------------------

// Reads the w x h tiles at tile (x, y), shrunk to `scale` (1/16 to 1), into
// tempBuffer1. On vfOk *pixels points at *outWidth x *outHeight pixels there.
int readTiles(int x, int y, int w, int h, float scale, const uint8_t **pixels, int *outWidth,
              int *outHeight);

// ---- Analysis --------------------------------------------------------------

struct TileRun {
    int first;
    int count;
};

// Runs of set changed flags among `count` flags from the first of tile row
// `row`; every reported flag is cleared. On vfOk *runs points at *nRuns runs
// in module memory, valid until the next call.
int collectChanges(int row, int count, const TileRun **runs, int *nRuns);

// Turns the frame grey in place; sets every changed flag when markChanged.
void greyscaleFrame(int markChanged);

// Black rows/columns at the edges of the w x h active area: left, right, top, bottom.
void measureBlackEdges(int w, int h, int edges[4]);
int isBlackLine(int row, int count);
int isBlackColumn(int column, int count);

#endif
