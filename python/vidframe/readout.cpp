// The RGB readout: blocks of whole tiles out of the frame, full size or shrunk.
#include "vidframe.h"

int readTiles(int x, int y, int w, int h, float scale, const uint8_t **pixels, int *outWidth,
              int *outHeight) {
    (void)x; (void)y; (void)w; (void)h; (void)scale; (void)pixels; (void)outWidth; (void)outHeight;
    return vfBadTopLeft;  // placeholder until the readout lands
}
