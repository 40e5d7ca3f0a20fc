#include "platform/VirtualClock.h"

#include <gtest/gtest.h>

namespace {

// Every wait of the library ends through TimeUp; a limit set from a 64-bit
// setting must neither wrap into a short wait nor read as already spent.
TEST(TimeUp, EndsAWaitExactlyPastItsLimit)
{
    struct Case {
        uint32_t start;
        uint64_t elapsed;
        uint64_t limit;
        bool up;
    };
    const Case cases[] = {
        {1000, 0, 0, false},
        {1000, 1, 0, true},
        {1000, 500, 500, false},
        {1000, 501, 500, true},
        // The tick counter wraps during the wait.
        {0xFFFFFF00u, 0x200, 0x1FF, true},
        {0xFFFFFF00u, 0x100, 0x1FF, false},
        // Limits of 2^31 ms and more are long waits, not spent ones.
        {1000, 10, 0x80000000ull, false},
        {1000, 10, 0xFFFFFFFEull, false},
        {1000, 10, (1ull << 32) + 8, false},
        {1000, 10, UINT64_MAX, false},
    };
    for (const Case& c : cases) {
        platform::ScopedVirtualClock time(c.start);
        uint32_t start = platform::TickCount();
        time.clock.Advance(c.elapsed);
        EXPECT_EQ(platform::TimeUp(start, c.limit), c.up)
            << "start " << c.start << " elapsed " << c.elapsed << " limit " << c.limit;
    }
}

} // namespace
