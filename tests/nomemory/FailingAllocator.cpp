#include "FailingAllocator.h"

#include <cstdlib>
#include <new>

namespace {

// The tests run on one thread; plain counters are enough.
long countdown = -1;
bool reached = false;
long live = 0;

void* Allocate(std::size_t size)
{
    if (countdown >= 0 && countdown-- == 0) {
        reached = true;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size ? size : 1);
    if (!block)
        throw std::bad_alloc();
    ++live;
    return block;
}

void* AllocateOrNull(std::size_t size) noexcept
{
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Free(void* block) noexcept
{
    if (!block)
        return;
    --live;
    std::free(block);
}

} // namespace

namespace failing_allocator {

void FailAt(long index)
{
    reached = false;
    countdown = index;
}

bool Disarm()
{
    countdown = -1;
    return reached;
}

long Live() { return live; }

} // namespace failing_allocator

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, std::size_t) noexcept { Free(block); }
void operator delete[](void* block, std::size_t) noexcept { Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Free(block); }
