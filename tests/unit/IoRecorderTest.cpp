// The recording setting and what it writes: read back by the simulator's
// own reader, texts of any kind survive the escaping, every kind of event is
// there in order, and without a recording the transport is left as it is.
#include "io/FlashIo.h"
#include "platform/Platform.h"
#include "sim/Recording.h"
#include "support/FirmwareFiles.h"
#include "support/ReplayRun.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

namespace {

using testing_support::SimTool;

sim::DeviceConfig Scanner(const std::string& port)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.portName = port;
    return config;
}

// A port name that needs every kind of escape.
const std::string kOddPort = "COM\"7\\ \xc3\xa9\t\x01";

TEST(IoRecorder, AFlashReadsBackWithItsTextsAndEveryKindOfEvent)
{
    SimTool sim(Scanner(kOddPort));
    std::string path = sim.dir.File("rec.jsonl");
    ASSERT_TRUE(testing_support::StartRecording(sim, path));
    std::wstring file = sim.WriteFile("fw \xc3\xa9 [1].mocf", testing_support::StandardFile(0x41, {"B", 600, "A", 900}).file);
    ASSERT_EQ(sim.Flash(file), 0u);
    wchar_t none[2] = {};
    ASSERT_EQ(sim.Set(CFS_PELLARO_RECORD_FILE, none, 4), CFS_RESULT_OK);   // ends it

    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::LoadRecording(path, recording, &error)) << error;
    EXPECT_EQ(recording.port, kOddPort);
    EXPECT_EQ(recording.interface, "rs232");
    EXPECT_EQ(recording.serialRecord.size(), sizeof(WIN32_232_SETTINGS));
    ASSERT_FALSE(recording.events.empty());
    EXPECT_EQ(recording.events.front().kind, "begin");
    EXPECT_EQ(recording.events.front().file, platform::WideToUtf8(file.c_str()));
    EXPECT_EQ(recording.events.back().kind, "end");
    EXPECT_EQ(recording.Result(), 0);

    std::set<std::string> kinds;
    uint64_t number = 0, time = 0;
    for (const sim::RecordedEvent& event : recording.events) {
        kinds.insert(event.kind);
        EXPECT_EQ(event.number, ++number);
        // Reads are stamped when they began, so only nearly in order.
        EXPECT_GE(event.t + 2000, time);
        time = std::max(time, event.t);
        if (event.kind == "setup") {
            EXPECT_EQ(event.port, kOddPort);
        }
    }
    for (const char* kind : {"setup", "open", "write", "read", "purge", "close"})
        EXPECT_TRUE(kinds.count(kind)) << kind;
}

TEST(IoRecorder, TheSettingReadsBackRefusesWhatItCannotTakeAndStops)
{
    SimTool sim(Scanner("SIM0"));
    std::wstring name = platform::Utf8ToWide(sim.dir.File("a.jsonl"));
    EXPECT_EQ(sim.Set(CFS_PELLARO_RECORD_FILE, name.data(), name.size() - 1), CFS_RESULT_REFUSED);   // longer than its size
    ASSERT_EQ(sim.Set(CFS_PELLARO_RECORD_FILE, name.data(), name.size()), CFS_RESULT_OK);
    wchar_t back[300] = {};
    ASSERT_EQ(sim.tool->GetSetting(CFS_PELLARO_RECORD_FILE, back, 299), CFS_RESULT_OK);
    EXPECT_EQ(std::wstring(back), name);

    std::wstring nowhere = platform::Utf8ToWide(sim.dir.File("no/such/dir/b.jsonl"));
    EXPECT_EQ(sim.Set(CFS_PELLARO_RECORD_FILE, nowhere.data(), nowhere.size()), CFS_RESULT_FAILED);
    ASSERT_EQ(sim.tool->GetSetting(CFS_PELLARO_RECORD_FILE, back, 299), CFS_RESULT_OK);
    EXPECT_EQ(std::wstring(back), L"");
}

// Nothing stands between the engine and its transport unless a recording
// is set, and a recording that ends gives the transport's slots back.
TEST(IoRecorder, TheTransportKeepsItsOwnSlotsWithoutARecording)
{
    SimTool sim(Scanner("SIM0"));
    auto slots = [&] {
        FlashIoDevice* io = sim.engine->io->io;
        return std::vector<void*>{reinterpret_cast<void*>(io->open), reinterpret_cast<void*>(io->readBytes),
                                  reinterpret_cast<void*>(io->writeBytes)};
    };
    ASSERT_EQ(sim.engine->InitRs232V2(L"SIM0", &sim.context->serialSettings), 0);
    std::vector<void*> own = slots();
    EXPECT_EQ(sim.engine->io->io->recorder, nullptr);

    ASSERT_TRUE(testing_support::StartRecording(sim, sim.dir.File("c.jsonl")));
    EXPECT_NE(slots(), own);
    wchar_t none[2] = {};
    ASSERT_EQ(sim.Set(CFS_PELLARO_RECORD_FILE, none, 4), CFS_RESULT_OK);
    EXPECT_EQ(slots(), own);
    EXPECT_EQ(sim.engine->io->io->recorder, nullptr);
}

} // namespace
