// Reading a fuzzer's input as a sequence of small fields. Past the end every
// field reads as zero, so any input, even an empty one, is a valid program.
#ifndef FUZZ_INPUT_H
#define FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct FuzzInput {
    const uint8_t *data;
    size_t size;
    size_t pos = 0;

    FuzzInput(const uint8_t *d, size_t n) : data(d), size(n) {}

    size_t left() const { return size - pos; }

    uint8_t u8() { return pos < size ? data[pos++] : 0; }
    uint16_t u16() {
        uint16_t lo = u8();
        return (uint16_t)(lo | u8() << 8);
    }
    uint32_t u32() {
        uint32_t lo = u16();
        return lo | (uint32_t)u16() << 16;
    }
    int32_t i32() { return (int32_t)u32(); }
    float f32() {
        uint32_t bits = u32();
        float f;
        memcpy(&f, &bits, sizeof f);
        return f;
    }
    // Up to n bytes from the input, in place; *got receives how many.
    const uint8_t *bytes(size_t n, size_t *got) {
        const uint8_t *p = data + pos;
        *got = n < left() ? n : left();
        pos += *got;
        return p;
    }
};

// A failed property: print what differed and abort, so the fuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                  \
        }                                                                             \
    } while (0)

#endif
