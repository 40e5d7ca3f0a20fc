// The recording setting and what it writes: read back by the simulator's
// own reader, texts of any kind survive the escaping, every kind of event is
// there in order, and without a recording the transport is left as it is.
#include "files/libmocf_14/shared/sha1/sha1.h"
#include "io/FlashIo.h"
#include "platform/Platform.h"
#include "sim/Recording.h"
#include "support/FirmwareFiles.h"
#include "support/ReplayRun.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>
#include <sstream>
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
    testing_support::FirmwareFile fw = testing_support::StandardFile(0x41, {"B", 600, "A", 900});
    std::wstring file = sim.WriteFile("fw \xc3\xa9 [1].mocf", fw.file);
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
    // The firmware by name, size and digest, not by where it lay.
    const sim::RecordedEvent& begin = recording.events.front();
    EXPECT_EQ(begin.file, "fw \xc3\xa9 [1].mocf");
    EXPECT_EQ(begin.fileSize, static_cast<int64_t>(fw.file.size()));
    uint8_t digest[20];
    CSha1().Compute(fw.file.data(), static_cast<uint32_t>(fw.file.size()), digest);
    EXPECT_EQ(begin.fileSha1, std::vector<uint8_t>(digest, digest + 20));
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
    for (const char* kind : {"setup", "open", "write", "read", "close"})
        EXPECT_TRUE(kinds.count(kind)) << kind;
    // Purges and their empty drain reads are counted on the event after them.
    uint64_t purges = 0, drains = 0;
    for (const sim::RecordedEvent& event : recording.events) {
        purges += event.purges + (event.kind == "purge");
        drains += event.drains;
    }
    EXPECT_GT(purges, 0u);
    EXPECT_GT(drains, 0u);
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

// A recording comes from the field and may be damaged or hostile: the
// reader takes nothing it cannot trust, and says on which line and in which
// field it found it.
const char* const kHeader = R"({"format":"tambrix01-recording","formatVersion":1,"port":"SIM0"})";
const char* const kEvents[] = {
    R"({"n":1,"t":0,"ev":"begin","operation":"flash","file":"a.mocf"})",
    R"({"n":2,"t":5,"ev":"write","hex":"16430d","result":3})",
    R"({"n":3,"t":6,"ev":"read","ask":4,"timeout":500,"ms":500,"result":1,"hex":"06"})",
};

bool Parse(const std::string& text, std::string& error)
{
    sim::Recording recording;
    std::istringstream in(text);
    return sim::ParseRecording(in, recording, &error);
}

std::string Build(const std::string& header, int replaced = -1, const std::string& with = {})
{
    std::string text = header + "\n";
    for (int i = 0; i < 3; ++i)
        text += (i == replaced ? with : std::string(kEvents[i])) + "\n";
    return text;
}

TEST(RecordingReader, TakesAWellFormedRecordingAndACutLastLine)
{
    std::string error;
    EXPECT_TRUE(Parse(Build(kHeader), error)) << error;
    std::string cut = Build(kHeader);
    EXPECT_TRUE(Parse(cut.substr(0, cut.size() - 20), error)) << error;
}

TEST(RecordingReader, RefusesWhatItCannotTrustNamingLineAndField)
{
    struct Case {
        const char* what;
        std::string text;
        const char* error;
    };
    std::string header = kHeader;
    auto headerWith = [&](const std::string& from, const std::string& to) {
        std::string changed = header;
        changed.replace(changed.find(from), from.size(), to);
        return Build(changed);
    };
    const Case cases[] = {
        {"a newer format", headerWith("\"formatVersion\":1", "\"formatVersion\":99"),
         "line 1: field \"formatVersion\": version 99 was written by a newer library"},
        {"no format version", headerWith(",\"formatVersion\":1", ""), "line 1: field \"formatVersion\": missing"},
        {"a format version below 1", headerWith("\"formatVersion\":1", "\"formatVersion\":0"),
         "line 1: field \"formatVersion\": 0 is below 1"},
        {"a negative setting", headerWith("\"port\"", "\"settings\":{\"PELLARO_RETRY_max\":-3},\"port\""),
         "line 1: field \"settings.PELLARO_RETRY_max\": -3 is below -1"},
        {"a short serial record", headerWith("\"port\"", "\"serial\":{\"record\":\"1c00\"},\"port\""),
         "line 1: field \"serial.record\": 2 bytes"},
        {"a time that wraps", Build(header, 2, R"({"n":3,"t":6,"ev":"read","ask":4,"timeout":500,"ms":18446744073709551615,"result":1,"hex":"06"})"),
         "line 4: field \"ms\": 18446744073709551615 is above 4294967295"},
        {"a negative time", Build(header, 2, R"({"n":3,"t":6,"ev":"read","ask":4,"timeout":500,"ms":-1,"result":1,"hex":"06"})"),
         "line 4: field \"ms\": -1 is below 0"},
        {"a float out of range", Build(header, 1, R"({"n":2,"t":5,"ev":"write","hex":"16430d","result":-1e20})"),
         "line 3: field \"result\": -1e+20 is not a whole number"},
        {"a fraction", Build(header, 2, R"({"n":3,"t":6,"ev":"read","ask":4.5,"timeout":500,"ms":1,"result":1,"hex":"06"})"),
         "line 4: field \"ask\": 4.5 is not a whole number"},
        {"a number as text", Build(header, 2, R"({"n":3,"t":6,"ev":"read","ask":"4","timeout":500,"ms":1,"result":1,"hex":"06"})"),
         "line 4: field \"ask\": not a number"},
        {"events out of order", Build(header, 1, R"({"n":5,"t":5,"ev":"write","hex":"16430d","result":3})"),
         "line 3: field \"n\": 5 where 2 comes next"},
        {"time running back", Build(header, 2, R"({"n":3,"t":4,"ev":"read","ask":4,"timeout":500,"ms":1,"result":1,"hex":"06"})"),
         "line 4: field \"t\": 4 is before the previous event's 5"},
        {"an unknown event", Build(header, 1, R"({"n":2,"t":5,"ev":"erase","result":3})"),
         "line 3: field \"ev\": unknown event \"erase\""},
        {"bad hex", Build(header, 1, R"({"n":2,"t":5,"ev":"write","hex":"16x30d","result":3})"),
         "line 3: field \"hex\": not a hex digit"},
        {"a write that took more than it had", Build(header, 1, R"({"n":2,"t":5,"ev":"write","hex":"16430d","result":9})"),
         "line 3: field \"result\": 9 bytes taken of 3 written"},
        {"a read of more than it asked", Build(header, 2, R"({"n":3,"t":6,"ev":"read","ask":1,"timeout":500,"ms":1,"result":1,"hex":"0606"})"),
         "line 4: field \"hex\": 2 bytes where at most 1 were asked"},
        {"a USB id out of range", Build(header, 1, R"({"n":2,"t":5,"ev":"search","vid":70000,"pid":1,"mi":0,"result":0})"),
         "line 3: field \"vid\": 70000 is above 65535"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.text, error)) << c.what;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
}


#ifndef _WIN32
// A disk that takes no more (here: a file size limit) under the recording:
// said once in the log, the recording ends there, and the flash goes on to
// its own result.
TEST(IoRecorder, AWriteErrorEndsTheRecordingNotTheFlash)
{
    SimTool sim(Scanner("SIM0"));
    std::wstring file = sim.WriteFile("full.mocf", testing_support::StandardFile(0x41, {"B", 600, "A", 900}).file);
    std::string path = sim.dir.File("full.jsonl");
    ASSERT_TRUE(testing_support::StartRecording(sim, path));
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 8192;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    uint32_t result = sim.Flash(file);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(result, 0u);
    const std::string& log = sim.log->Text();
    const std::string line = "Recording: cannot write the recording: (";
    size_t first = log.find(line);
    ASSERT_NE(first, std::string::npos) << log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << "said more than once";
    // What reached the file before is whole lines that read back.
    sim::Recording recording;
    std::string error;
    EXPECT_TRUE(sim::LoadRecording(path, recording, &error)) << error;
}
#endif

int32_t StopFromAnotherThread(uint64_t hostContext, int32_t, uint64_t, uint64_t)
{
    auto* sim = reinterpret_cast<SimTool*>(hostContext);
    static bool done;
    if (!done) {
        done = true;
        // A C++ host's other thread, while this flash runs.
        std::thread other([sim] {
            wchar_t none[2] = {};
            EXPECT_EQ(sim->Set(CFS_PELLARO_RECORD_FILE, none, 4), CFS_RESULT_OK);
            wchar_t back[300] = {};
            EXPECT_EQ(sim->tool->GetSetting(CFS_PELLARO_RECORD_FILE, back, 299), CFS_RESULT_OK);
            EXPECT_NE(std::wstring(back), L"") << "ended under the running flash";
        });
        other.join();
    }
    return 0;
}

// Ending the recording from another thread while a flash runs takes effect
// when the flash ends: the recorder is not freed under it, and the file
// holds the whole flash.
TEST(IoRecorder, EndingItDuringAnOperationWaitsForTheOperation)
{
    SimTool sim(Scanner("SIM0"));
    std::string path = sim.dir.File("stopped.jsonl");
    ASSERT_TRUE(testing_support::StartRecording(sim, path));
    ASSERT_EQ(sim.Set(CFS_FWCALLBACK, reinterpret_cast<void*>(&StopFromAnotherThread), 8), CFS_RESULT_OK);
    std::wstring file = sim.WriteFile("stop.mocf", testing_support::StandardFile(0x41, {"B", 600, "A", 900}).file);
    ASSERT_EQ(sim.tool->FlashScanner(reinterpret_cast<uint64_t>(&sim), file.c_str()), 0u);

    wchar_t back[300] = {};
    ASSERT_EQ(sim.tool->GetSetting(CFS_PELLARO_RECORD_FILE, back, 299), CFS_RESULT_OK);
    EXPECT_EQ(std::wstring(back), L"");
    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::LoadRecording(path, recording, &error)) << error;
    ASSERT_FALSE(recording.events.empty());
    EXPECT_EQ(recording.events.back().kind, "end");
    EXPECT_EQ(recording.Result(), 0);
}

// Settings the host changes between two operations are in the recording
// before the second, and its replay sets them up again.
TEST(IoRecorder, SettingsChangedBetweenOperationsAreRecordedAgain)
{
    SimTool sim(Scanner("SIM0"));
    std::string path = sim.dir.File("twice.jsonl");
    ASSERT_TRUE(testing_support::StartRecording(sim, path));
    testing_support::FirmwareFile fw = testing_support::StandardFile(0x41, {"B", 600, "A", 900});
    std::wstring file = sim.WriteFile("twice.mocf", fw.file);
    FileVersionInfo info{};
    ASSERT_EQ(sim.Version(file, &info), uint32_t{VERSION_RESULT_OK});
    std::string text = "PELLARO_RETRY_max: 5\n";
    std::wstring settings = sim.WriteFile("more-tries.txt", std::vector<uint8_t>(text.begin(), text.end()));
    ASSERT_EQ(sim.Set(CFS_PROTOCOL_SETTINGS, const_cast<wchar_t*>(settings.c_str()), settings.size()), CFS_RESULT_OK);
    ASSERT_EQ(sim.Flash(file), 0u);
    wchar_t none[2] = {};
    ASSERT_EQ(sim.Set(CFS_PELLARO_RECORD_FILE, none, 4), CFS_RESULT_OK);

    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::LoadRecording(path, recording, &error)) << error;
    ASSERT_EQ(recording.changes.size(), 1u);
    std::vector<const sim::HostSettings*> each = recording.OperationSettings();
    ASSERT_EQ(each.size(), 2u);
    auto retries = [](const sim::HostSettings& host) {
        for (const auto& [name, value] : host.settings)
            if (name == "PELLARO_RETRY_max")
                return value;
        return uint64_t{0};
    };
    EXPECT_EQ(retries(*each[0]), 3u);
    EXPECT_EQ(retries(*each[1]), 5u);

    testing_support::TempDir dir;
    dir.Write("twice.mocf", testing_support::AsString(fw.file));
    testing_support::ReplayOutcome replay = testing_support::ReplayRecording(path, dir.WideFile("twice.mocf"));
    EXPECT_EQ(replay.result, 0u) << replay.report;
    EXPECT_EQ(replay.state, sim::Replay::State::Finished) << replay.report;
}


#ifdef TAMBRIX_HAVE_ZLIB
// A name ending in .gz is written compressed and read back so; cut off
// half-way (a host killed while writing), it reads up to where it ends.
TEST(IoRecorder, AGzNameRecordsCompressedAndReadsBackEvenCut)
{
    SimTool sim(Scanner("SIM0"));
    std::string path = sim.dir.File("small.jsonl.gz");
    ASSERT_TRUE(testing_support::StartRecording(sim, path));
    testing_support::FirmwareFile fw = testing_support::StandardFile(0x41, {"B", 600, "A", 900});
    std::wstring file = sim.WriteFile("gz.mocf", fw.file);
    ASSERT_EQ(sim.Flash(file), 0u);
    wchar_t none[2] = {};
    ASSERT_EQ(sim.Set(CFS_PELLARO_RECORD_FILE, none, 4), CFS_RESULT_OK);

    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 2u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x1f);
    EXPECT_EQ(static_cast<uint8_t>(bytes[1]), 0x8b);
    sim::Recording recording;
    std::string error;
    ASSERT_TRUE(sim::LoadRecording(path, recording, &error)) << error;
    EXPECT_EQ(recording.Result(), 0);

    testing_support::TempDir dir;
    dir.Write("gz.mocf", testing_support::AsString(fw.file));
    testing_support::ReplayOutcome replay = testing_support::ReplayRecording(path, dir.WideFile("gz.mocf"));
    EXPECT_EQ(replay.result, 0u) << replay.report;
    EXPECT_EQ(replay.state, sim::Replay::State::Finished) << replay.report;

    std::string cutPath = sim.dir.File("cut.jsonl.gz");
    std::ofstream(cutPath, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    sim::Recording cut;
    ASSERT_TRUE(sim::LoadRecording(cutPath, cut, &error)) << error;
    EXPECT_FALSE(cut.events.empty());
    EXPECT_LT(cut.events.size(), recording.events.size());
}
#endif

} // namespace
