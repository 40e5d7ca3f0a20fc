// The flasher's own logic: the host callback's (position, total) turned
// back into phases and bytes, and which result several devices exit with.
#include "Progress.h"
#include "Results.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using flasher::Phase;
using flasher::PhaseProgress;
using flasher::ProgressTracker;

constexpr uint64_t kBootBase = 0x50000;
constexpr uint64_t kAppBase = 0x10100;

// What a host receives for one image of `size` bytes sent in 256-byte
// blocks: the bootloader from its header's end, the application from 0;
// the last application report held one below its total.
void FeedImage(ProgressTracker& tracker, Phase phase, uint64_t size)
{
    auto now = flasher::Clock::now();
    uint64_t base = phase == Phase::Boot ? 0 : kAppBase;
    uint64_t total = size + (phase == Phase::Boot ? kBootBase : kAppBase);
    tracker.Update(base, total, now);
    for (uint64_t sent = phase == Phase::Boot ? 256 : 0; sent < size; sent += 256)
        tracker.Update(base + sent, total, now);
    tracker.Update(phase == Phase::Boot ? size : total - 1, total, now);
}

struct FlashCase {
    const char* name;
    std::vector<std::pair<Phase, uint64_t>> images;
};

const FlashCase kFlashes[] = {
    {"BootThenApplication", {{Phase::Boot, 3000}, {Phase::App, 12001}}},
    {"ApplicationOnly", {{Phase::App, 8000}}},
    // Bootloader positions beyond 0x10100 must not read as an application.
    {"LargeBootloader", {{Phase::Boot, 0x30000}, {Phase::App, 0x20000}}},
    // Totals that meet: the application's first position starts its phase.
    {"EqualTotals", {{Phase::Boot, 0x1000}, {Phase::App, 0x1000 + kBootBase - kAppBase}}},
};

class ProgressDecoding : public ::testing::TestWithParam<FlashCase> {};

TEST_P(ProgressDecoding, EveryImageIsOnePhaseWithItsBytes)
{
    ProgressTracker tracker;
    for (const auto& [phase, size] : GetParam().images)
        FeedImage(tracker, phase, size);
    std::vector<PhaseProgress> phases = tracker.Phases();
    ASSERT_EQ(phases.size(), GetParam().images.size());
    for (size_t i = 0; i < phases.size(); ++i) {
        EXPECT_EQ(phases[i].phase, GetParam().images[i].first) << i;
        EXPECT_EQ(phases[i].size, GetParam().images[i].second) << i;
        EXPECT_EQ(phases[i].done, phases[i].size) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Flashes, ProgressDecoding, ::testing::ValuesIn(kFlashes),
                         [](const ::testing::TestParamInfo<FlashCase>& info) { return std::string(info.param.name); });

TEST(ProgressDecoding, AnInterruptedPhaseKeepsItsBytesUntilTheFlashSucceeds)
{
    ProgressTracker tracker;
    auto now = flasher::Clock::now();
    tracker.Update(kAppBase, kAppBase + 4000, now);
    tracker.Update(kAppBase + 1024, kAppBase + 4000, now);
    ASSERT_EQ(tracker.Phases().size(), 1u);
    EXPECT_EQ(tracker.Phases()[0].done, 1024u);
    EXPECT_EQ(tracker.Phases()[0].size, 4000u);
    tracker.Complete();
    EXPECT_EQ(tracker.Phases()[0].done, 4000u);
}

struct WorstCase {
    std::vector<int32_t> results;
    int32_t worst;
};

TEST(Results, TheWorstOfSeveralDevices)
{
    const WorstCase cases[] = {
        {{0, 0}, 0},      {{0, 6}, 6},   {{6, 2}, 2},     {{2, 1}, 1},  {{4, 3}, 4},
        {{3, 5, 1}, 5},   {{5, -3}, -3}, {{-1, -12}, -1}, {{9, 0}, 9},  {{0, 12, 2}, 12},
    };
    for (const WorstCase& c : cases)
        EXPECT_EQ(flasher::WorstResult(c.results), c.worst) << ::testing::PrintToString(c.results);
}

TEST(Results, ExitCodesNeverReadAsSuccessOrAsTheFlashersOwn)
{
    EXPECT_EQ(flasher::ExitCodeOf(0), 0);
    EXPECT_EQ(flasher::ExitCodeOf(12), 12);
    EXPECT_EQ(flasher::ExitCodeOf(-1), 255);
    EXPECT_EQ(flasher::ExitCodeOf(-17), 239);
    EXPECT_EQ(flasher::ExitCodeOf(-256), 255);
    EXPECT_EQ(flasher::ExitCodeOf(256), 255);
}

} // namespace
