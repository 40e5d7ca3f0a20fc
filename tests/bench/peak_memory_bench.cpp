// Peak heap of a whole flash against the size of the file: a 16 MiB
// container flashed through the host's entry point into the in-process
// simulator, on the virtual clock, the device's work made instant. The
// program counts every byte the process has on the heap (it replaces the C
// allocator's entry points and forwards them to glibc), flashes once so that
// the simulated flash areas reach their size, then measures a second flash
// from the heap in use before it. Not built under the sanitizers, which
// bring allocators of their own.
//
//   peak_memory_bench
#include "files/FirmwareBuilder.h"
#include "support/SimTool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* block);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

// One thread allocates here: plain counters. Live bytes are counted as
// the allocator hands them out (usable size); a large block aligned to a
// huge page comes with an untouched tail beyond what was asked for, which
// the second count leaves out.
long long g_live = 0;
long long g_peak = 0;
long long g_liveAsked = 0;
long long g_peakAsked = 0;

struct Tail {
    void* block;
    long long bytes;
};
Tail g_tails[64];

void Added(void* block, size_t asked)
{
    if (!block)
        return;
    long long usable = static_cast<long long>(malloc_usable_size(block));
    long long tail = usable - static_cast<long long>(asked);
    if (tail >= (64 << 10))
        for (Tail& slot : g_tails)
            if (!slot.block) {
                slot = {block, tail};
                break;
            }
    g_live += usable;
    g_liveAsked += usable - (tail >= (64 << 10) ? tail : 0);
    g_peak = std::max(g_peak, g_live);
    g_peakAsked = std::max(g_peakAsked, g_liveAsked);
}

void Removed(void* block)
{
    if (!block)
        return;
    long long usable = static_cast<long long>(malloc_usable_size(block));
    g_live -= usable;
    g_liveAsked -= usable;
    for (Tail& slot : g_tails)
        if (slot.block == block) {
            g_liveAsked += slot.bytes;
            slot = {nullptr, 0};
        }
}

} // namespace

extern "C" {

void* malloc(size_t size) noexcept
{
    void* block = __libc_malloc(size);
    Added(block, size);
    return block;
}

void free(void* block) noexcept
{
    Removed(block);
    __libc_free(block);
}

void* calloc(size_t count, size_t size) noexcept
{
    void* block = __libc_calloc(count, size);
    Added(block, count * size);
    return block;
}

void* realloc(void* block, size_t size) noexcept
{
    // Counted out before the call: the old block may be gone after it.
    Removed(block);
    void* moved = __libc_realloc(block, size);
    if (moved)
        Added(moved, size);
    else if (size != 0)
        Added(block, malloc_usable_size(block));   // failed: the old block stays
    return moved;
}

void* memalign(size_t alignment, size_t size) noexcept
{
    void* block = __libc_memalign(alignment, size);
    Added(block, size);
    return block;
}

void* aligned_alloc(size_t alignment, size_t size) noexcept
{
    return memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept
{
    void* block = memalign(alignment, size);
    if (!block)
        return ENOMEM;
    *out = block;
    return 0;
}

} // extern "C"

namespace {

// The heap in use at every progress report: what the library holds while
// the image goes out.
long long g_transferPeak = 0;
int32_t OnProgress(uint64_t, int32_t, uint64_t, uint64_t)
{
    g_transferPeak = std::max(g_transferPeak, g_liveAsked);
    return 0;
}

double MiB(long long bytes)
{
    return double(bytes) / double(1 << 20);
}

} // namespace

int main()
{
    // A container of exactly 16 MiB, the largest file the library takes:
    // header, digest, table and one application image filling the rest.
    firmware::ImageRecipe app = firmware::DefaultApp();
    app.compat = {0x41};
    firmware::ContainerRecipe recipe;
    recipe.tableIds = {0x41};
    recipe.images = {firmware::MakeImage(app)};
    size_t overhead = firmware::MakeContainer(recipe).size() - app.size;
    app.size = uint32_t(0x1000000 - overhead);
    recipe.images[0] = firmware::MakeImage(app);

    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.appCapacity = 17u << 20;
    sim::Timings& t = config.timings;
    t.menuReplyMs = t.wakeReplyMs = t.ackMs = t.commandMs = t.writeMs = t.eraseMs = 0;
    t.newap2DelayMs = t.resetDelayMs = 0;
    t.lineSpeed = false;

    testing_support::SimTool sim(config);
    sim.log.reset();   // a log kept in memory is not the library's
    std::wstring file;
    long long fileSize = 0;
    {
        std::vector<uint8_t> bytes = firmware::MakeContainer(recipe);
        fileSize = static_cast<long long>(bytes.size());
        file = sim.WriteFile("big.mocf", bytes);
    }
    sim.Set(CFS_FWCALLBACK, reinterpret_cast<void*>(&OnProgress), 8);

    uint32_t first = sim.Flash(file);
    bool firstEqual = sim.device.Cable().ApplicationArea().data == recipe.images[0];

    long long before = g_live;
    long long beforeAsked = g_liveAsked;
    g_peak = g_live;
    g_peakAsked = g_liveAsked;
    g_transferPeak = 0;
    uint32_t second = sim.Flash(file);
    long long peak = g_peak - before;
    long long peakAsked = g_peakAsked - beforeAsked;
    long long transfer = g_transferPeak - beforeAsked;
    long long after = g_live - before;
    bool secondEqual = sim.device.Cable().ApplicationArea().data == recipe.images[0];

    std::printf("file                      %lld bytes (%.2f MiB)\n", fileSize, MiB(fileSize));
    std::printf("results                   %u, %u (areas equal the file: %s)\n", first, second,
                firstEqual && secondEqual ? "yes" : "NO");
    std::printf("peak heap of the flash    %.2f MiB = %.2f x the file (goal: at most 3 x)\n", MiB(peakAsked),
                double(peakAsked) / double(fileSize));
    std::printf("  with the aligned tails  %.2f MiB = %.2f x the file\n", MiB(peak), double(peak) / double(fileSize));
    std::printf("held while writing        %.2f MiB = %.2f x the file\n", MiB(transfer),
                double(transfer) / double(fileSize));
    std::printf("kept after the flash      %lld bytes\n", after);
    return first == 0 && second == 0 && firstEqual && secondEqual ? 0 : 1;
}
