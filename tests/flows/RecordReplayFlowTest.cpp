// Recordings made through the host's entry point replay against the library:
// the same result from the same writes; a different file or a recording cut
// short is reported where it parts from the host. The recordings kept in
// tests/recordings/ are flow tests of their own.
#include "platform/Platform.h"
#include "support/FirmwareFiles.h"
#include "support/ReplayRun.h"
#include "support/SerialRecord.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <vector>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>

namespace {

using testing_support::Bytes;
using testing_support::FirmwareFile;
using testing_support::ReplayOutcome;
using testing_support::ReplayRecording;
using testing_support::SimTool;
using testing_support::StandardFile;
using testing_support::TempDir;
using State = sim::Replay::State;

constexpr uint8_t kScannerCompat = 0x41;
const testing_support::FileShape kSmall{"BOOT-R", 700, "APP-R", 2100};

sim::DeviceConfig UsbScanner()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.cbl = 4;   // P_INFO names a USB cable
    return config;
}

sim::DeviceConfig WithNakAndBadCrc()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.faults.nakFrame = 6;
    config.faults.badCrcReply = 9;
    return config;
}

struct Kind {
    const char* name;
    std::function<sim::DeviceConfig()> device;
    uint64_t interfaceType;
};

const Kind kKinds[] = {
    {"corded", sim::DeviceConfig::CordedScanner, INTERFACE_RS232},
    {"cradle", sim::DeviceConfig::CradleWithScanner, INTERFACE_RS232},
    {"fault-absorbed", WithNakAndBadCrc, INTERFACE_RS232},
    {"usb", UsbScanner, INTERFACE_USB_HID},
};

// Flashes `file` into the kind's simulated device through the public API,
// recording into `path`: the flash's result.
uint32_t RecordFlash(const Kind& kind, const Bytes& file, const std::string& path)
{
    SimTool sim(kind.device());
    sim.SetU64(CFS_INTERFACE, kind.interfaceType);
    EXPECT_TRUE(testing_support::StartRecording(sim, path));
    return sim.Flash(sim.WriteFile("recorded.mocf", file));
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Recorded : public ::testing::TestWithParam<Kind> {
protected:
    TempDir dir;
    FirmwareFile file = StandardFile(kScannerCompat, kSmall);
};

TEST_P(Recorded, ReplaysWithTheSameResultAndWrites)
{
    std::string path = dir.File("flash.jsonl");
    uint32_t recorded = RecordFlash(GetParam(), file.file, path);
    ASSERT_EQ(recorded, 0u);
    // TAMBRIX_RECORDINGS_OUT=DIR keeps the recordings (tests/recordings/ holds a few).
    if (const char* out = std::getenv("TAMBRIX_RECORDINGS_OUT"))
        std::ofstream(std::string(out) + "/" + GetParam().name + ".jsonl", std::ios::binary) << ReadText(path);

    std::wstring firmware = dir.WideFile("replayed.mocf");
    dir.Write("replayed.mocf", testing_support::AsString(file.file));
    for (bool fast : {false, true}) {
        ReplayOutcome replay = ReplayRecording(path, firmware, fast);
        ASSERT_TRUE(replay.loaded) << replay.loadError;
        EXPECT_EQ(replay.recordedResult, 0);
        EXPECT_EQ(replay.result, recorded) << replay.report;
        EXPECT_EQ(replay.state, State::Finished) << replay.report;
    }
}

// Another application image: the host parts from the recording at the
// first block whose bytes differ, and the replay names it.
TEST_P(Recorded, ADifferentFileDivergesAtItsFirstDifferingBlock)
{
    std::string path = dir.File("flash.jsonl");
    ASSERT_EQ(RecordFlash(GetParam(), file.file, path), 0u);
    testing_support::FileShape other = kSmall;
    other.appRevision = "APP-S";
    dir.Write("other.mocf", testing_support::AsString(StandardFile(kScannerCompat, other).file));

    ReplayOutcome replay = ReplayRecording(path, dir.WideFile("other.mocf"));
    EXPECT_NE(replay.result, 0u);
    EXPECT_EQ(replay.state, State::Diverged) << replay.report;
    EXPECT_NE(replay.report.find("step: block 1 of the application image (offset 0x0)"), std::string::npos)
        << replay.report;
    EXPECT_NE(replay.report.find("expected"), std::string::npos);
}

// A recording that ends half-way (its last line cut as well): the host goes
// on past it, and the replay says so.
TEST_P(Recorded, ARecordingCutShortIsReportedAsEndingFirst)
{
    std::string path = dir.File("flash.jsonl");
    ASSERT_EQ(RecordFlash(GetParam(), file.file, path), 0u);
    std::string text = ReadText(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text.substr(0, text.size() / 2);

    dir.Write("replayed.mocf", testing_support::AsString(file.file));
    ReplayOutcome replay = ReplayRecording(path, dir.WideFile("replayed.mocf"));
    ASSERT_TRUE(replay.loaded) << replay.loadError;
    EXPECT_NE(replay.result, 0u);
    EXPECT_EQ(replay.state, State::Overrun) << replay.report;
    EXPECT_NE(replay.report.find("the recording ends before the host does"), std::string::npos) << replay.report;
}

// A recording's lines, each event split into its number, its time and the
// rest, so that a test can move the device's answers in time or add and
// drop the host's waiting writes as another run's timing would.
struct EventLine {
    uint64_t n = 0, t = 0;
    std::string rest;   // from "ev" on

    std::string Kind() const { return Field("ev"); }
    std::string Field(const char* key) const
    {
        std::string open = std::string("\"") + key + "\":\"";
        size_t at = rest.find(open);
        if (at == std::string::npos)
            return {};
        at += open.size();
        return rest.substr(at, rest.find('"', at) - at);
    }
    std::string Text() const { return "{\"n\":" + std::to_string(n) + ",\"t\":" + std::to_string(t) + "," + rest; }
};

struct RecordingLines {
    std::string header;
    std::vector<EventLine> events;

    explicit RecordingLines(const std::string& path)
    {
        std::istringstream in(ReadText(path));
        std::getline(in, header);
        for (std::string line; std::getline(in, line);) {
            EventLine event;
            unsigned long long n = 0, t = 0;
            int used = 0;
            EXPECT_EQ(std::sscanf(line.c_str(), "{\"n\":%llu,\"t\":%llu,%n", &n, &t, &used), 2) << line;
            event.n = n;
            event.t = t;
            event.rest = line.substr(static_cast<size_t>(used));
            events.push_back(event);
        }
    }
    void Save(const std::string& path)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << header << "\n";
        for (size_t i = 0; i < events.size(); ++i) {
            events[i].n = i + 1;
            out << events[i].Text() << "\n";
        }
    }
    // The writes of `hex`, by index into events.
    std::vector<size_t> Writes(const std::string& hex) const
    {
        std::vector<size_t> found;
        for (size_t i = 0; i < events.size(); ++i)
            if (events[i].Kind() == "write" && events[i].Field("hex") == hex)
                found.push_back(i);
        return found;
    }
    // The events from write w up to the next write.
    size_t EndOfAnswer(size_t w) const
    {
        size_t end = w + 1;
        while (end < events.size() && events[end].Kind() != "write")
            ++end;
        return end;
    }
    bool Answered(size_t w) const
    {
        for (size_t i = w + 1; i < EndOfAnswer(w); ++i)
            if (events[i].Kind() == "read" && !events[i].Field("hex").empty())
                return true;
        return false;
    }
};

const std::string kPoll = "20201005";
const std::string kPinfo = "164d0d505f494e464f2e";

// The device answers the P_INFO after its restart 1.5 s later than the
// host waits: the host asks again, and is answered as then.
void AnswerThePinfoLate(RecordingLines& lines)
{
    std::vector<size_t> asks = lines.Writes(kPinfo);
    // The first answer after a silent try: the device back from its restart.
    size_t late = 0;
    for (size_t i = 1; i < asks.size() && !late; ++i)
        if (!lines.Answered(asks[i - 1]) && lines.Answered(asks[i]))
            late = asks[i];
    ASSERT_NE(late, 0u);
    for (size_t i = late + 1; i < lines.events.size(); ++i)
        lines.events[i].t += 1500;
}

// The reset's reply never comes (the device restarts first); the polls for
// it are bounded by the host's deadline, so another run fits one more or
// one less into it.
std::vector<size_t> SilentPolls(const RecordingLines& lines)
{
    std::vector<size_t> silent;
    for (size_t w : lines.Writes(kPoll))
        if (!lines.Answered(w))
            silent.push_back(w);
    EXPECT_FALSE(silent.empty());
    return silent;
}

void OneSilentPollMore(RecordingLines& lines)
{
    std::vector<size_t> silent = SilentPolls(lines);
    ASSERT_FALSE(silent.empty());
    size_t w = silent.back(), end = lines.EndOfAnswer(w);
    std::vector<EventLine> copy(lines.events.begin() + static_cast<std::ptrdiff_t>(w),
                                lines.events.begin() + static_cast<std::ptrdiff_t>(end));
    for (EventLine& event : copy)
        event.t = lines.events[end - 1].t;
    lines.events.insert(lines.events.begin() + static_cast<std::ptrdiff_t>(end), copy.begin(), copy.end());
}

void OneSilentPollLess(RecordingLines& lines)
{
    std::vector<size_t> silent = SilentPolls(lines);
    ASSERT_FALSE(silent.empty());
    size_t w = silent.back();
    lines.events.erase(lines.events.begin() + static_cast<std::ptrdiff_t>(w),
                       lines.events.begin() + static_cast<std::ptrdiff_t>(lines.EndOfAnswer(w)));
}

sim::DeviceConfig RestartsBeforeTheResetReply()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.timings.resetDelayMs = 0;
    return config;
}

struct Perturbation {
    const char* name;
    std::function<sim::DeviceConfig()> device;
    std::function<void(RecordingLines&)> change;
    bool hostAsksMore;   // else: the host asks less often than recorded
};

const Perturbation kPerturbations[] = {
    {"pinfo-answered-late", sim::DeviceConfig::CordedScanner, AnswerThePinfoLate, true},
    {"one-silent-poll-more-recorded", RestartsBeforeTheResetReply, OneSilentPollMore, false},
    {"one-silent-poll-less-recorded", RestartsBeforeTheResetReply, OneSilentPollLess, true},
};

// A recording made in real time is one run's timing: the host replaying it
// waits as often as its own timing says. Where it only waits, the replay
// follows it; the result is the recorded one, and another file is still
// refused at its first differing block.
TEST(RealTiming, AnotherRunsWaitingReplaysWithTheRecordedResult)
{
    FirmwareFile file = StandardFile(kScannerCompat, kSmall);
    testing_support::FileShape otherShape = kSmall;
    otherShape.appRevision = "APP-S";
    for (const Perturbation& perturbation : kPerturbations) {
        SCOPED_TRACE(perturbation.name);
        TempDir dir;
        std::string path = dir.File("timing.jsonl");
        uint32_t recorded;
        {
            SimTool sim(perturbation.device());
            ASSERT_TRUE(testing_support::StartRecording(sim, path));
            recorded = sim.Flash(sim.WriteFile("timing.mocf", file.file));
        }
        RecordingLines lines(path);
        perturbation.change(lines);
        lines.Save(path);

        dir.Write("replayed.mocf", testing_support::AsString(file.file));
        ReplayOutcome replay = ReplayRecording(path, dir.WideFile("replayed.mocf"));
        ASSERT_TRUE(replay.loaded) << replay.loadError;
        EXPECT_EQ(replay.result, recorded) << replay.report;
        EXPECT_EQ(replay.state, State::Finished) << replay.report;
        EXPECT_GT(perturbation.hostAsksMore ? replay.repeated : replay.skipped, 0u) << replay.report;

        dir.Write("other.mocf", testing_support::AsString(StandardFile(kScannerCompat, otherShape).file));
        ReplayOutcome other = ReplayRecording(path, dir.WideFile("other.mocf"));
        EXPECT_EQ(other.state, State::Diverged) << other.report;
        EXPECT_NE(other.report.find("step: block 1 of the application image (offset 0x0)"), std::string::npos)
            << other.report;
    }
}

// The host's serial record at 115200-8N1, changed.
WIN32_232_SETTINGS Line(const std::function<void(DCB&)>& change)
{
    WIN32_232_SETTINGS serial = testing_support::SerialRecord();
    if (change)
        change(serial.dcb);
    return serial;
}

struct LineCase {
    const char* name;
    std::function<void(DCB&)> recorded;   // the recording host's line, from 115200-8N1
    std::function<void(DCB&)> host;       // the replaying host's
    const char* told;                     // nullptr: the same line, the flash replays
    // Where: the library talks 8-N-1 to the bootloader at the caller's
    // speed and flow control, and in the caller's framing only to the
    // application after its restart.
    const char* at = "(write 1 of";
};

void TwoStopBits(DCB& dcb) { dcb.StopBits = TWOSTOPBITS; }
void SlowEven(DCB& dcb) { dcb.BaudRate = 9600, dcb.Parity = EVENPARITY; }
void SevenOdd(DCB& dcb) { dcb.ByteSize = 7, dcb.Parity = ODDPARITY; }
void RtsCts(DCB& dcb) { dcb.fOutxCtsFlow = 1, dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; }
void XonXoff(DCB& dcb) { dcb.fOutX = 1, dcb.fInX = 1; }

const char* const kLastPinfo = "step: menu command P_INFO.";

const LineCase kLines[] = {
    {"two stop bits", nullptr, TwoStopBits, "the host's line is 115200-8N2, the recorded host's was 115200-8N1",
     kLastPinfo},
    {"another speed and parity", nullptr, SlowEven, "the host's line is 9600-8E1, the recorded host's was 115200-8N1"},
    {"seven data bits", nullptr, SevenOdd, "the host's line is 115200-7O1, the recorded host's was 115200-8N1",
     kLastPinfo},
    {"RTS/CTS where there was none", nullptr, RtsCts,
     "the host's line is 115200-8N1 with RTS/CTS flow control, the recorded host's was 115200-8N1 with no flow "
     "control"},
    {"none where there was XON/XOFF", XonXoff, nullptr,
     "the host's line is 115200-8N1 with no flow control, the recorded host's was 115200-8N1 with XON/XOFF flow "
     "control"},
    {"the recorded RTS/CTS again", RtsCts, RtsCts, nullptr},
};

// A host whose line (speed, framing, flow control) is not the recorded
// host's is told so at its first write on that line, naming both, before
// any of its bytes are compared.
TEST(RecordedLine, AnotherLineIsToldAtOnce)
{
    FirmwareFile file = StandardFile(kScannerCompat, kSmall);
    for (const LineCase& c : kLines) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.File("line.jsonl");
        uint32_t recorded;
        {
            SimTool sim(sim::DeviceConfig::CordedScanner());
            WIN32_232_SETTINGS serial = Line(c.recorded);
            sim.Set(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
            ASSERT_TRUE(testing_support::StartRecording(sim, path));
            recorded = sim.Flash(sim.WriteFile("line.mocf", file.file));
        }
        ASSERT_EQ(recorded, 0u);
        dir.Write("replayed.mocf", testing_support::AsString(file.file));
        ReplayOutcome replay = ReplayRecording(path, dir.WideFile("replayed.mocf"), false, [&c](SimTool& sim) {
            WIN32_232_SETTINGS serial = Line(c.host);
            sim.Set(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
        });
        if (!c.told) {
            EXPECT_EQ(replay.result, recorded) << replay.report;
            EXPECT_EQ(replay.state, State::Finished) << replay.report;
            continue;
        }
        EXPECT_NE(replay.result, 0u);
        EXPECT_EQ(replay.state, State::Diverged) << replay.report;
        EXPECT_NE(replay.report.find(c.told), std::string::npos) << replay.report;
        EXPECT_NE(replay.report.find(c.at), std::string::npos) << replay.report;
    }
}

int32_t DevicePort(void* context, uint32_t, wchar_t* buffer, uint32_t capacity)
{
    std::wstring port = platform::Utf8ToWide(static_cast<sim::Device*>(context)->PortName());
    wcsncpy(buffer, port.c_str(), capacity);
    return 0;
}

// A device that comes back from each restart into its application under a
// new port name, which the host's assist callback gives: the replay takes
// the recorded names at the recorded times.
TEST(RecordedRestarts, ANewPortNameIsFollowed)
{
    TempDir dir;
    std::string path = dir.File("renamed.jsonl");
    FirmwareFile file = StandardFile(kScannerCompat, kSmall);
    uint32_t recorded;
    {
        sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
        config.faults.portChange = true;
        SimTool sim(config);
        DllAssistSettings assist{&DevicePort, &sim.device, 1};
        sim.Set(CFS_DLLASSIST_SETTINGS, &assist, sizeof assist);
        ASSERT_TRUE(testing_support::StartRecording(sim, path));
        recorded = sim.Flash(sim.WriteFile("renamed.mocf", file.file));
        ASSERT_EQ(sim.device.PortName(), "SIM1");
    }
    ASSERT_EQ(recorded, 0u);
    dir.Write("replayed.mocf", testing_support::AsString(file.file));
    ReplayOutcome replay = ReplayRecording(path, dir.WideFile("replayed.mocf"));
    EXPECT_EQ(replay.result, recorded) << replay.report;
    EXPECT_EQ(replay.state, State::Finished) << replay.report;
}

// A version query and a flash with one tool: one recording, replayed in order.
TEST(RecordedOperations, AVersionQueryAndAFlashReplayInOrder)
{
    TempDir dir;
    std::string path = dir.File("version.jsonl");
    FirmwareFile file = StandardFile(kScannerCompat, kSmall);
    uint32_t recorded;
    {
        SimTool sim(sim::DeviceConfig::CordedScanner());
        ASSERT_TRUE(testing_support::StartRecording(sim, path));
        FileVersionInfo info{};
        std::wstring name = sim.WriteFile("version.mocf", file.file);
        ASSERT_EQ(sim.Version(name, &info), uint32_t{VERSION_RESULT_OK});
        recorded = sim.Flash(name);
    }
    ASSERT_EQ(recorded, 0u);
    dir.Write("replayed.mocf", testing_support::AsString(file.file));
    ReplayOutcome replay = ReplayRecording(path, dir.WideFile("replayed.mocf"));
    EXPECT_EQ(replay.result, recorded) << replay.report;
    EXPECT_EQ(replay.state, State::Finished) << replay.report;
}

// The source tree's recordings; under Wine the Linux path is on drive Z:.
std::string RecordingsDir()
{
#ifdef _WIN32
    return std::string("Z:") + TAMBRIX_RECORDINGS_DIR;
#else
    return TAMBRIX_RECORDINGS_DIR;
#endif
}

// The recordings kept in the repository, each with the file it flashed.
TEST(KeptRecordings, ReplayAsRecorded)
{
    for (const char* name : {"corded-scanner", "scanner-behind-cradle", "usb-scanner"}) {
        std::string dir = RecordingsDir();
        ReplayOutcome replay = ReplayRecording(dir + "/" + name + ".jsonl",
                                               platform::Utf8ToWide(dir + "/small-scanner.mocf"));
        ASSERT_TRUE(replay.loaded) << name << ": " << replay.loadError;
        EXPECT_EQ(replay.result, replay.recordedResult) << name << ": " << replay.report;
        EXPECT_EQ(replay.state, State::Finished) << name << ": " << replay.report;
    }
}

// The small file the kept recordings flashed, and one with another
// application for the end-to-end replay (written with
// TAMBRIX_RECORDINGS_OUT=DIR, as the recordings above).
TEST(KeptRecordings, AreTheSmallFiles)
{
    testing_support::FileShape otherApp = kSmall;
    otherApp.appRevision = "APP-S";
    for (auto [name, shape] : {std::pair{"small-scanner.mocf", kSmall}, {"small-scanner-other-app.mocf", otherApp}}) {
        std::string file = testing_support::AsString(StandardFile(kScannerCompat, shape).file);
        if (const char* out = std::getenv("TAMBRIX_RECORDINGS_OUT"))
            std::ofstream(std::string(out) + "/" + name, std::ios::binary) << file;
        EXPECT_EQ(ReadText(RecordingsDir() + "/" + name), file) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, Recorded, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
