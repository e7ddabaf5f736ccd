// hexDump: rows of 16 bytes in hex and as text, for debugging.
#include "hexdump.h"

#include <cstdint>
#include <cstdio>

// 1: "%p: " of the row's address; 2: "%04x: " of its low 32 bits.
#ifndef HEXDUMP_ADDRESS_STYLE
#define HEXDUMP_ADDRESS_STYLE 1
#endif

static void printPrefix(const unsigned char *row, int offset, bool showAddress) {
    if (!showAddress) {
        printf("%03x: ", offset);
    } else if (HEXDUMP_ADDRESS_STYLE == 2) {
        printf("%04x: ", (unsigned)(uintptr_t)row);
    } else {
        printf("%p: ", (const void *)row);
    }
}

void hexDump(const void *data, int count, bool showAddress) {
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (int offset = 0; offset < count; offset += 16) {
        const unsigned char *row = bytes + offset;
        int n = count - offset < 16 ? count - offset : 16;
        printPrefix(row, offset, showAddress);
        for (int i = 0; i < n; i++) {
            printf("%02x ", row[i]);
            if (i == 7) printf("- ");
        }
        // Pad a short row so the text column always starts at the same place.
        for (int i = n; i < 16; i++) {
            printf("   ");
            if (i == 7) printf("  ");
        }
        printf("  ");
        for (int i = 0; i < n; i++) putchar(row[i] >= 0x20 && row[i] <= 0x7e ? row[i] : '.');
        putchar('\n');
    }
}
