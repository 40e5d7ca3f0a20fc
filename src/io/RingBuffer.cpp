#include "io/RingBuffer.h"

#include <algorithm>
#include <cstring>

void RingInit(RingBuffer* ring, uint8_t* storage, uint64_t capacity)
{
    ring->elementSize = 1;
    ring->capacity = capacity;
    ring->writeIndex = 0;
    ring->readIndex = 0;
    ring->storage = storage;
    ring->changed = nullptr;
}

uint64_t RingUsed(const RingBuffer* ring)
{
    return (ring->writeIndex - ring->readIndex) & (ring->capacity - 1);
}

uint64_t RingFree(const RingBuffer* ring)
{
    return (ring->readIndex - ring->writeIndex - 1) & (ring->capacity - 1);
}

void RingClear(RingBuffer* ring)
{
    ring->writeIndex = 0;
    ring->readIndex = 0;
}

uint64_t RingPut(RingBuffer* ring, const uint8_t* source, uint64_t count)
{
    uint64_t n = std::min(count, RingFree(ring));
    // At most two pieces: up to the end of the storage, then from its start.
    uint64_t first = std::min(n, ring->capacity - ring->writeIndex);
    if (n > 0) {
        memcpy(ring->storage + ring->writeIndex, source, first);
        memcpy(ring->storage, source + first, n - first);
    }
    ring->writeIndex = (ring->writeIndex + n) & (ring->capacity - 1);
    if (ring->changed)
        ring->changed(ring, ring->writeIndex);
    return n;
}

uint64_t RingGet(RingBuffer* ring, uint8_t* destination, uint64_t count)
{
    uint64_t n = std::min(count, RingUsed(ring));
    uint64_t first = std::min(n, ring->capacity - ring->readIndex);
    if (n > 0) {
        memcpy(destination, ring->storage + ring->readIndex, first);
        memcpy(destination + first, ring->storage, n - first);
    }
    ring->readIndex = (ring->readIndex + n) & (ring->capacity - 1);
    if (ring->changed)
        ring->changed(ring, ring->readIndex);
    return n;
}
