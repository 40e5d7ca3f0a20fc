// Each allocation of an operation failing in turn: no exception reaches the
// host, the operation answers with its own failure code, and nothing that
// was made before the failure is left behind.
#include "FailingAllocator.h"

#include "flash/KIRO_FlashTool.h"
#include "platform/VirtualClock.h"
#include "support/ToolFixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing_support::TempDir;

// Runs `operation` once for each allocation it makes, that allocation
// failing, and hands every result to `check` along with whether the armed
// allocation was reached; the run in which it was not ends the sweep.
template <typename Operation, typename Check>
void EachAllocationFailing(Operation operation, Check check)
{
    for (long index = 0; index < 100000; ++index) {
        SCOPED_TRACE("allocation " + std::to_string(index) + " failing");
        failing_allocator::FailAt(index);
        auto result = operation();
        bool failed = failing_allocator::Disarm();
        check(result, failed);
        if (!failed || ::testing::Test::HasFailure())
            return;
    }
    ADD_FAILURE() << "the operation never stopped allocating";
}

TEST(NoMemory, CreateFlashToolAnswersNullAndLeavesNothingBehind)
{
    long before = 0;
    int failedCreations = 0;
    EachAllocationFailing(
        [&] {
            before = failing_allocator::Live();
            return CreateFlashTool();
        },
        [&](CFlashTool* tool, bool failed) {
            EXPECT_EQ(tool == nullptr, failed);
            failedCreations += failed;
            DestroyFlashTool(tool);
            EXPECT_EQ(failing_allocator::Live(), before);
        });
    // The tool object, the context, the log and the engine's companions.
    EXPECT_GE(failedCreations, 8);
}

class NoMemoryTool : public testing_support::ToolTest {
protected:
    platform::ScopedVirtualClock time;
    TempDir dir;
};

TEST_F(NoMemoryTool, ASettingTakesEffectWhenOnlyItsLogLineCannotBeMade)
{
    EachAllocationFailing([&] { return SetPort(L"COM3"); },
                          [&](uint32_t result, bool) {
                              EXPECT_EQ(result, 0u);
                              ASSERT_NE(context->portName, nullptr);
                              EXPECT_EQ(std::wstring(context->portName), L"COM3");
                          });
}

TEST_F(NoMemoryTool, ProtocolFileLoadAnswersFailedAndTheToolGoesOn)
{
    dir.Write("p.txt", "# tuning\nPELLARO_RETRY_max: 5\ninit-string: \"\\x16M\\rX.\"\ntest-string: abc\n");
    std::wstring path = dir.WideFile("p.txt");
    int failedLoads = 0;
    EachAllocationFailing(
        [&] {
            log->Clear();
            return Set(CFS_PROTOCOL_SETTINGS, path.data(), path.size());
        },
        [&](uint32_t result, bool) {
            // 0 when only a log line was lost.
            if (result != 0) {
                ++failedLoads;
                EXPECT_EQ(result, 2u);
                EXPECT_TRUE(Logged("SetSetting: No memory\n")) << log->Text();
            }
        });
    EXPECT_GT(failedLoads, 0);
    EXPECT_EQ(context->engine->retryMax, 5u);
}

TEST_F(NoMemoryTool, FlashScannerAndGetFileVersionAnswerTheirFailureCodes)
{
    SetU64(CFS_INTERFACE, INTERFACE_RS232);
    std::wstring port = dir.WideFile("no-such-port");
    SetPort(port.c_str());
    WIN32_232_SETTINGS serial{};
    serial.dcb.BaudRate = 115200;
    serial.dcb.ByteSize = 8;
    Set(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
    std::wstring file = dir.WideFile("firmware.mocf");

    uint32_t flashed = tool->FlashScanner(7, file.c_str());
    EachAllocationFailing([&] { return tool->FlashScanner(7, file.c_str()); },
                          [&](uint32_t result, bool) {
                              if (result != flashed) {
                                  EXPECT_EQ(result, uint32_t{FLASH_RESULT_FAILED});
                              }
                          });

    FileVersionInfo info{};
    uint32_t queried = tool->GetFileVersion(file.c_str(), &info);
    EachAllocationFailing([&] { return tool->GetFileVersion(file.c_str(), &info); },
                          [&](uint32_t result, bool) {
                              if (result != queried) {
                                  EXPECT_EQ(result, uint32_t{VERSION_RESULT_BAD_INPUT});
                              }
                          });
}

} // namespace
