// The frame store's geometry, allocation and statistics.
#include <gtest/gtest.h>

#include "alloc_fail.h"
#include "vidframe.h"

TEST(FrameStore, GeometryRoundsTilesUp) {
    ASSERT_EQ(createFrameStore(1000, 600), vfOk);
    EXPECT_EQ(tilesWidth, 63);
    EXPECT_EQ(tilesHeight, 38);
    EXPECT_EQ(tempSize1, 64000);
    EXPECT_EQ(tempSize2, 64000);
    ASSERT_EQ(createFrameStore(1920, 1600), vfOk);
    EXPECT_EQ(tilesWidth, 120);
    EXPECT_EQ(tilesHeight, 100);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(frameBuffer) % 64, 0u);
    ASSERT_EQ(createFrameStore(0, 0), vfOk);
    EXPECT_EQ(tilesWidth, 0);
    EXPECT_NE(frameBuffer, nullptr);
}

TEST(FrameStore, OutOfRangeAndFailedAllocationKeepTheOldStore) {
    ASSERT_EQ(createFrameStore(32, 32), vfOk);
    frameBuffer[5] = 0x12345678;
    changedArray[3] = 1;
    uint32_t *frame = frameBuffer;
    EXPECT_EQ(createFrameStore(1921, 16), vfOutOfRange);
    EXPECT_EQ(createFrameStore(16, 1601), vfOutOfRange);
    EXPECT_EQ(createFrameStore(-1, 16), vfOutOfRange);
    for (int i = 0; i < 4; i++) {
        failAllocationAfter(i);
        EXPECT_EQ(createFrameStore(64, 64), vfNoMemory) << "allocation " << i;
        failAllocationAfter(-1);
        EXPECT_EQ(frameBuffer, frame);
        EXPECT_EQ(frameWidth, 32);
        EXPECT_EQ(tilesWidth, 2);
        EXPECT_EQ(tempSize1, 32 * 64);
        EXPECT_EQ(frameBuffer[5], 0x12345678u);
        EXPECT_EQ(changedArray[3], 1);
    }
}
