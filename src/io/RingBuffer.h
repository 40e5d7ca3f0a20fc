// A power-of-two byte ring: the USB transport's receive store, from which
// reads are served one report's payload at a time.
#pragma once

#include <cstdint>

struct RingBuffer;
using RingChanged = void (*)(RingBuffer* ring, uint64_t index);

struct RingBuffer {
    uint64_t elementSize;   // 1 here
    uint64_t capacity;      // a power of two; one slot always stays empty
    uint64_t writeIndex;
    uint64_t readIndex;
    uint8_t* storage;
    RingChanged changed;    // called after every put or get when set
};

void RingInit(RingBuffer* ring, uint8_t* storage, uint64_t capacity);
uint64_t RingUsed(const RingBuffer* ring);
uint64_t RingFree(const RingBuffer* ring);
// Forgets everything held: both indices back to 0.
void RingClear(RingBuffer* ring);
// Stores up to count bytes, stopping when full: the number stored.
uint64_t RingPut(RingBuffer* ring, const uint8_t* source, uint64_t count);
// Takes up to count bytes, stopping when empty: the number taken.
uint64_t RingGet(RingBuffer* ring, uint8_t* destination, uint64_t count);
