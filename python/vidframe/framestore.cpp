// The process-wide frame store: geometry, pixels, changed flags, scratch
// buffers, decoder carry-over, statistics and the diagnostic record.
#include <cstdlib>
#include <cstring>

#include "vidframe.h"

int frameWidth;
int frameHeight;
uint32_t *frameBuffer;
// The block frameBuffer lies in: the frame starts on a cache line, so no
// line is shared by two tiles' rows.
static void *frameBlock;
constexpr size_t frameAlign = 64;
int tilesWidth;
int tilesHeight;
uint8_t *changedArray;

uint8_t *tempBuffer1;
int tempSize1;
uint8_t *tempBuffer2;
int tempSize2;

uint8_t leftoverData[imageMessageSize];
int leftoverDataSize;
int leftoverDataNeeded;

int statsPadding;
int statsBogus;

int hackhack;
uint8_t previousData[previousDataSize];
int previousMessage;

int createFrameStore(int width, int height) {
    // Compared as unsigned, so negative sizes are out of range too.
    if ((unsigned)width > (unsigned)maxFrameWidth || (unsigned)height > (unsigned)maxFrameHeight)
        return vfOutOfRange;

    int newTilesWidth = (width + 15) / 16;
    int newTilesHeight = (height + 15) / 16;
    size_t frameBytes = (size_t)width * height * 4;
    size_t flagBytes = (size_t)newTilesWidth * newTilesHeight;
    int scratchBytes = width * 64;

    // Everything new is allocated before anything old is freed, so a failed
    // allocation leaves the previous store whole. The spare bytes keep a 0 x 0
    // store from handing out null blocks.
    void *newBlock = calloc(frameBytes + frameAlign, 1);
    uint8_t *newFlags = static_cast<uint8_t *>(calloc(flagBytes + 1, 1));
    uint8_t *newTemp1 = static_cast<uint8_t *>(malloc((size_t)scratchBytes + 1));
    uint8_t *newTemp2 = static_cast<uint8_t *>(malloc((size_t)scratchBytes + 1));
    if (!newBlock || !newFlags || !newTemp1 || !newTemp2) {
        free(newBlock);
        free(newFlags);
        free(newTemp1);
        free(newTemp2);
        return vfNoMemory;
    }

    free(frameBlock);
    free(changedArray);
    free(tempBuffer1);
    free(tempBuffer2);
    frameWidth = width;
    frameHeight = height;
    tilesWidth = newTilesWidth;
    tilesHeight = newTilesHeight;
    frameBlock = newBlock;
    frameBuffer = reinterpret_cast<uint32_t *>(((uintptr_t)newBlock + frameAlign - 1) & ~(uintptr_t)(frameAlign - 1));
    changedArray = newFlags;
    tempBuffer1 = newTemp1;
    tempSize1 = scratchBytes;
    tempBuffer2 = newTemp2;
    tempSize2 = scratchBytes;
    return vfOk;
}

void takeStats(int *padding, int *bogus) {
    *padding = statsPadding;
    *bogus = statsBogus;
    statsPadding = 0;
    statsBogus = 0;
}
