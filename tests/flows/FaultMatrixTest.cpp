// Every fault the simulator can inject, aimed at every step of a whole
// flash, for a corded scanner on a serial line and on USB, and for a scanner
// behind a cradle. The steps are found in a clean recorded run of the same
// device (the frame, reply, menu reply and output byte at which each
// begins); each cell then runs the flash with its one fault, and checks the
// host code, a time bound from the library's own timeouts, the caller's
// settings, the cradle, and a second run that flashes the device. The test
// prints the matrix it found. The whole matrix runs once more on the fast
// profile: every fault that slows or upsets the device sends the flash back
// to the full pauses, and each cell must end as it does paced, within the
// paced run's time bound. Recorded, every cell of the serial and USB kinds
// replays in process with the cell's own result.
#include "support/FlashRun.h"
#include "support/ReplayRun.h"

#include "io/FlashIo.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testing_support::FirmwareFile;
using testing_support::FlashRun;
using testing_support::Target;

enum Step {
    kPinfo, kBootEntry, kParameters, kVersion, kAreaOpen, kErase, kBlocks, kAreaEnd, kResetWait, kPostFlash, kSteps
};
enum Fault {
    kNak, kCan, kBadCrc, kLostByte, kSilence, kSlowRestart, kPortChange, kGarbledEcho, kRefusedSets, kPowerLoss,
    kReportBurst, kOutRefused, kFaults
};

const char* const kStepNames[kSteps] = {"P_INFO",    "boot entry", "parameter exchange", "version query", "area open",
                                        "erase",     "block writes", "area end",         "reset wait",    "post-flash completion"};
const char* const kFaultNames[kFaults] = {"NAK",         "CAN",           "bad reply CRC", "lost byte",    "silence",
                                          "slow restart", "new port name", "garbled echo",  "refused sets", "power loss",
                                          "report burst", "OUT refused"};

constexpr int NA = -1;   // the fault cannot happen at this step: not run
using Row = std::array<int, kFaults>;
using Matrix = std::array<Row, kSteps>;

// ---- where each step begins in a clean run --------------------------------------

struct Anchor {
    bool found = false;
    size_t line = 0;              // index of the trace line that begins the step
    std::string text;             // that line, to see that a faulty run reaches it alike
    sim::FaultCounters before;    // the counters before the step's first exchange
};

// The command number of a frame line of the trace ("frame #7 pn=05 cmd=9 ..."), or -1.
int FrameCommand(const std::string& line)
{
    size_t at = line.find(" cmd=");
    if (line.find("frame #") == std::string::npos || at == std::string::npos)
        return -1;
    return std::atoi(line.c_str() + at + 5);
}

class StepRecorder {
public:
    explicit StepRecorder(FlashRun& run) : run_(run)
    {
        run.Watch([this](const std::string& line) { See(line); });
    }

    std::array<Anchor, kSteps> anchors;

private:
    void See(const std::string& line)
    {
        size_t index = lines_++;
        sim::FaultCounters now = run_.sim.device.Env().counters;
        int command = FrameCommand(line);
        if (command >= 0)
            --now.commandFrames;   // the frame line comes after the frame was counted
        auto mark = [&](Step step) {
            if (anchors[step].found)
                return;
            anchors[step] = Anchor{true, index, line, now};
        };
        const std::string cable = run_.sim.device.Cable().Name() + ": ";
        if (line.find(cable + "menu M P_INFO") != std::string::npos)
            mark(kPinfo);
        if (line.find("menu Y ") != std::string::npos && line.find("NEWAP2") != std::string::npos)
            mark(kBootEntry);
        if (line.find("menu Y BTLTOR") != std::string::npos)
            mark(kParameters);
        if (line.find("restarting into the application") != std::string::npos)
            mark(kPostFlash);
        switch (command) {
        case 1:
            mark(kVersion);
            break;
        case 4:
            mark(kAreaOpen);
            break;
        case 9:
            mark(kErase);
            break;
        case 16:
            // The blocks of the first image; the one in their middle is aimed at.
            if (!anchors[kAreaEnd].found)
                blocks_.push_back(Anchor{true, index, line, now});
            break;
        case 8:
            mark(kAreaEnd);
            if (!blocks_.empty())
                anchors[kBlocks] = blocks_[blocks_.size() / 2];
            break;
        case 3:
            mark(kResetWait);
            break;
        default:
            break;
        }
    }

    FlashRun& run_;
    size_t lines_ = 0;
    std::vector<Anchor> blocks_;
};

// ---- one device kind --------------------------------------------------------------

struct DeviceKind {
    const char* name;
    sim::DeviceConfig (*config)();
    uint8_t fileCompat;
    Target target;      // whose areas the file is for
    Matrix expected;    // host code per step and fault
    void (*recover)(FlashRun&);   // what the user does before trying again
    uint64_t interface = INTERFACE_RS232;
};

void NothingToDo(FlashRun&) {}

// A scanner left in its bootloader cannot link to a server cradle: the user
// puts it into the cradle, and the next flash reaches it over the contact.
void IntoTheCradleWhenStuck(FlashRun& run)
{
    if (run.sim.device.TheScanner()->CurrentMode() != sim::Mode::Application)
        run.sim.device.TheCradle()->SetScannerInCradle(true);
}

// The trace line that shows the fault happened.
const char* const kFaultMarks[kFaults] = {"-> NAK (fault)",        "-> CAN (fault)",  "(fault: wrong CRC)",
                                          "fault: lost output byte", "fault: silent from", nullptr,
                                          "comes back as",         "fault: garbled echo", "fault: refusing",
                                          "-> power lost (fault)", "fault: a burst of", "fault: output reports refused"};

// Small images: a boot body of three blocks, an application of twelve.
FirmwareFile MatrixFile(uint8_t compat)
{
    return testing_support::StandardFile(compat, {.bootSize = 1000, .appSize = 3000});
}

// A restart slower than a normal one, yet within the restart waits.
uint32_t SlowRestartMs(const KIRO_FlashTool& engine)
{
    return static_cast<uint32_t>(engine.resetTimeoutMs) - 3000;
}

// How long a flash may take, from the library's own limits: an absorbed
// fault costs at most one failed exchange and one more pass of the flash;
// a failure at most every try of every wait the flow has.
uint64_t TimeBound(const KIRO_FlashTool& engine, uint64_t clean, int code, bool slow)
{
    const FlashIo& io = *engine.io;
    uint64_t tries = engine.retryMax;
    uint64_t menu = io.menuCommandTimeoutMs * 3;   // the largest the flow sets
    uint64_t exchange = tries * (io.replyTimeoutMs + 500) + io.receiveDeadlineMs + tries * (menu + 1000);
    // A restart wait on the serial line, overrun by one interval and one try.
    uint64_t restart = engine.resetTimeoutMs + 2 * std::max<uint64_t>(engine.cableDelayRs232Ms, 1000) + menu;
    uint64_t bound = 2 * clean + exchange + restart + (slow ? engine.resetTimeoutMs : 0);
    if (code != FLASH_RESULT_OK && code != FLASH_RESULT_OK_FROM_BOOT) {
        // Two objects, each tried retryMax times, each try waiting at most for
        // a boot entry, a cradle link (25 s) and a transparent cradle (one
        // reset timeout on serial); then the link wait (100 s) and the
        // readiness checks.
        uint64_t perTry = 2 * restart + 25000 + engine.resetTimeoutMs + exchange;
        bound += 2 * tries * perTry + 100000 + 10000 + 2 * tries * (menu + 4000);
    }
    return bound;
}

struct Cell {
    int code = NA;
    uint64_t ms = 0;
};

class FaultMatrix {
public:
    FaultMatrix(const DeviceKind& kind, bool fast, bool replay = false)
        : kind_(kind), file_(MatrixFile(kind.fileCompat)), fast_(fast), replay_(replay)
    {
    }

    void Record()
    {
        if (fast_) {
            // The time bounds stay those of a paced flash.
            FlashRun paced(kind_.config());
            Prepare(paced, false);
            std::wstring file = paced.sim.WriteFile("fw.mocf", file_.file);
            uint64_t start = paced.sim.Now();
            ASSERT_EQ(paced.sim.Flash(file), FLASH_RESULT_OK) << kind_.name << ": paced clean run";
            pacedClean_ = paced.sim.Now() - start;
        }
        FlashRun run(kind_.config());
        Prepare(run, fast_);
        StepRecorder recorder(run);
        std::wstring file = run.sim.WriteFile("fw.mocf", file_.file);
        uint64_t start = run.sim.Now();
        ASSERT_EQ(run.sim.Flash(file), FLASH_RESULT_OK) << kind_.name << ": clean run\n" << run.sim.log->Text();
        clean_ = run.sim.Now() - start;
        if (!fast_)
            pacedClean_ = clean_;
        anchors_ = recorder.anchors;
        for (int s = 0; s < kSteps; ++s)
            ASSERT_TRUE(anchors_[s].found) << kind_.name << ": no " << kStepNames[s] << " in the clean run";
    }

    void RunAll()
    {
        for (int s = 0; s < kSteps; ++s)
            for (int f = 0; f < kFaults; ++f)
                if (kind_.expected[s][f] != NA)
                    cells_[s][f] = RunCell(static_cast<Step>(s), static_cast<Fault>(f));
    }

    std::string Table() const
    {
        std::ostringstream out;
        out << "| " << kind_.name << (fast_ ? ", fast" : "") << " |";
        for (const char* fault : kFaultNames)
            out << ' ' << fault << " |";
        out << "\n|---|";
        for (int f = 0; f < kFaults; ++f)
            out << "---|";
        out << '\n';
        for (int s = 0; s < kSteps; ++s) {
            out << "| " << kStepNames[s] << " |";
            for (int f = 0; f < kFaults; ++f) {
                const Cell& cell = cells_[s][f];
                int want = kind_.expected[s][f];
                if (want == NA)
                    out << " - |";
                else if (cell.code == want)
                    out << ' ' << cell.code << " |";
                else
                    out << ' ' << cell.code << " (want " << want << ") |";
            }
            out << '\n';
        }
        out << "\nA clean flash takes " << clean_ / 1000 << " s of virtual time; nearest its bound: " << worstCell_
            << ", " << worst_.ms / 1000 << " s of " << worstBound_ / 1000 << " s.\n";
        return out.str();
    }

private:
    void Prepare(FlashRun& run, bool fast) const
    {
        run.sim.SetU64(CFS_INTERFACE, kind_.interface);
        run.sim.transport.usbReports = kind_.interface == INTERFACE_USB_HID;
        if (fast)
            run.sim.SetU64(CFS_PELLARO_FAST, 1);
    }

    // The fault's numbers from where the step began in the clean run.
    void Aim(FlashRun& run, Step step, Fault fault)
    {
        const Anchor& a = anchors_[step];
        sim::Faults& faults = run.sim.device.Env().faults;
        switch (fault) {
        case kNak:
            faults.nakFrame = a.before.commandFrames + 1;
            break;
        case kCan:
            faults.canFrame = a.before.commandFrames + 1;
            break;
        case kBadCrc:
            faults.badCrcReply = a.before.replyFrames + 1;
            break;
        case kLostByte:
            faults.loseByte = a.before.outputBytes + 1;
            break;
        case kSilence:
            faults.silentFrom = a.before.outputBytes + 1;
            break;
        case kGarbledEcho:
            faults.garbleEcho = a.before.menuReplies + 1;
            break;
        case kRefusedSets:
            faults.refuseSets = "*";
            break;
        case kPowerLoss:
            faults.powerLossFrame = a.before.commandFrames + 1;
            break;
        case kReportBurst:
            faults.usbBurstFrame = a.before.commandFrames + 1;
            break;
        case kOutRefused:
            faults.usbRefuseOutFrame = a.before.commandFrames + 1;
            faults.usbRefuseOutMs = 6000;   // longer than a write waits, on Linux as well
            break;
        case kSlowRestart:
        case kPortChange:
            ArmRestartFault(run, a, fault);
            break;
        default:
            break;
        }
    }

    // A restart fault concerns the one restart that follows the step's
    // beginning: it is switched on at that trace line and off again once
    // the unit runs.
    void ArmRestartFault(FlashRun& run, const Anchor& a, Fault fault)
    {
        auto lines = std::make_shared<size_t>(0);
        auto armed = std::make_shared<bool>(false);
        uint32_t slow = SlowRestartMs(*run.sim.engine);
        run.Watch([this, &run, a, fault, lines, armed, slow](const std::string& line) {
            sim::Faults& faults = run.sim.device.Env().faults;
            size_t index = (*lines)++;
            if (index == a.line) {
                EXPECT_EQ(line.substr(line.find(' ', line.find_first_not_of(' '))),
                          a.text.substr(a.text.find(' ', a.text.find_first_not_of(' '))))
                    << "the faulty run left the clean one before the step";
                *armed = true;
                if (fault == kSlowRestart)
                    faults.slowRestartMs = slow;
                else
                    faults.portChange = true;
            }
            if (*armed && line.find("restarting into") != std::string::npos) {
                hit_ = hit_ || fault == kSlowRestart;
            } else if (*armed && line.find("running its") != std::string::npos) {
                faults.slowRestartMs = 0;
            }
        });
        if (fault == kPortChange) {
            // A host that finds the renamed port and says so when asked.
            run.InstallAssist();
            FlashRun::Assist() = {0, platform::Utf8ToWide(run.sim.device.PortName())};
            run.When("comes back as", [&run] { FlashRun::Assist() = {0, platform::Utf8ToWide(run.sim.device.PortName())}; });
        }
    }

    Cell RunCell(Step step, Fault fault)
    {
        std::string what = std::string(kind_.name) + ", " + kFaultNames[fault] + " at " + kStepNames[step];
        SCOPED_TRACE(what);
        FlashRun run(kind_.config());
        Prepare(run, fast_);
        std::wstring file = run.sim.WriteFile("fw.mocf", file_.file);
        Aim(run, step, fault);
        hit_ = false;
        if (const char* mark = kFaultMarks[fault])
            run.When(mark, [this] { hit_ = true; });
        run.NoteCallerState();
        int want = kind_.expected[step][fault];
        std::string recording = dir_.File("cell-" + std::to_string(step) + "-" + std::to_string(fault) + ".jsonl");
        if (replay_) {
            EXPECT_TRUE(testing_support::StartRecording(run.sim, recording));
        }

        Cell cell;
        uint64_t start = run.sim.Now();
        cell.code = static_cast<int>(run.sim.Flash(file));
        cell.ms = run.sim.Now() - start;
        if (replay_) {
            wchar_t none[1] = {0};
            run.sim.Set(CFS_PELLARO_RECORD_FILE, none, 0);
            ExpectReplays(recording, file, cell.code);
        }
        EXPECT_TRUE(hit_) << "the fault never happened";
        EXPECT_EQ(cell.code, want) << run.sim.log->Text();
        uint64_t bound = TimeBound(*run.sim.engine, pacedClean_, want, fault == kSlowRestart);
        EXPECT_LE(cell.ms, bound) << "virtual milliseconds";
        if (cell.ms * 1000 / bound > worst_.ms * 1000 / worstBound_)
            worst_ = cell, worstBound_ = bound, worstCell_ = what;
        if (cell.code == FLASH_RESULT_OK)
            testing_support::ExpectFlashed(run.Unit(kind_.target), file_, what);
        run.ExpectCallerStateBack(what);
        run.recover = [this, &run] { kind_.recover(run); };
        run.ExpectSecondRunFlashes(file_, kind_.target, what);
        return cell;
    }

    // The cell's recording, played by the replay against a fresh host with
    // the same file: the host ends as the recorded one did, and every
    // recorded write was asked for.
    void ExpectReplays(const std::string& recording, const std::wstring& file, int code)
    {
        testing_support::ReplayOutcome replay = testing_support::ReplayRecording(recording, file);
        ASSERT_TRUE(replay.loaded) << replay.loadError;
        EXPECT_EQ(replay.recordedResult, code);
        EXPECT_EQ(static_cast<int>(replay.result), code) << "replayed: " << replay.report;
        EXPECT_EQ(replay.state, sim::Replay::State::Finished) << replay.report;
        if (static_cast<int>(replay.result) != code || replay.state != sim::Replay::State::Finished)
            ++replayFailures_;
    }

public:
    int ReplayFailures() const { return replayFailures_; }

private:
    const DeviceKind& kind_;
    FirmwareFile file_;
    bool fast_;
    bool replay_;
    testing_support::TempDir dir_;
    int replayFailures_ = 0;
    uint64_t clean_ = 0;
    uint64_t pacedClean_ = 0;
    std::array<Anchor, kSteps> anchors_;
    std::array<std::array<Cell, kFaults>, kSteps> cells_;
    bool hit_ = false;
    Cell worst_;                // the cell nearest its time bound
    uint64_t worstBound_ = 1;
    std::string worstCell_;
};

// Expected host codes. Columns: NAK, CAN, bad reply CRC, lost byte, silence,
// slow restart, new port name, garbled echo, refused sets, power loss, and
// two of USB alone: a burst of foreign input reports, OUT reports refused.
// A single fault is absorbed by the retries of its exchange, of its report
// or of its image: 0. A silent device answers nothing more: 1, the failure
// without a code of its own (after the application's reset too: its restart
// wait fails before the readiness check could give 5). Refused parameter
// sets fail every try of the first image: 1.
const Matrix kCordedCodes = {{
    /* P_INFO        */ Row{NA, NA, NA, 0, 1, NA, NA, 0, NA, NA, NA, NA},
    /* boot entry    */ Row{NA, NA, NA, 0, 1, 0, NA, 0, NA, NA, NA, NA},
    /* parameters    */ Row{NA, NA, NA, 0, 1, NA, NA, 0, 1, NA, NA, NA},
    /* version query */ Row{0, 0, 0, 0, 1, NA, NA, NA, NA, NA, NA, NA},
    /* area open     */ Row{0, 0, 0, 0, 1, NA, NA, NA, NA, NA, NA, NA},
    /* erase         */ Row{0, 0, 0, 0, 1, NA, NA, NA, NA, NA, NA, NA},
    /* block writes  */ Row{0, 0, 0, 0, 1, NA, NA, NA, NA, 0, NA, NA},
    /* area end      */ Row{0, 0, 0, 0, 1, NA, NA, NA, NA, NA, NA, NA},
    /* reset wait    */ Row{0, 0, 0, 0, 1, 0, NA, 0, NA, NA, NA, NA},
    /* post-flash    */ Row{NA, NA, NA, 0, 1, 0, 0, 0, NA, NA, NA, NA},
}};

const DeviceKind kCorded = {
    "corded scanner",
    sim::DeviceConfig::CordedScanner,
    0x41,
    Target::Cable,
    kCordedCodes,
    NothingToDo,
};

// The same scanner on USB: the engine's USB branches (its open by
// identity, the restart waits that find the device again) and the library's
// USB transport (search, mutex claims, reports, ring, read loop) over the
// simulator's USB link. Every fault costs what it costs on the serial line
// but one: a power loss takes the device off the bus, and the image's tries
// follow each other at once while it is still restarting, so none of them
// finds it: 1.
sim::DeviceConfig UsbScanner()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.cbl = 4;   // P_INFO names a USB cable
    return config;
}

// A device that refuses output reports for 6 s: a Linux host's write waits
// up to the kernel's 5 s and the packet's next try goes through (0); a
// Windows host's write gives up after 300 ms, and every try of the packet
// fails while the refusal lasts (1).
#ifdef _WIN32
constexpr int kOutRefusedCode = 1;
#else
constexpr int kOutRefusedCode = 0;
#endif

Matrix UsbCodes()
{
    Matrix codes = kCordedCodes;
    codes[kBlocks][kPowerLoss] = 1;
    // Both USB faults concern the bootloader's packets. Foreign reports are
    // dropped by the transport (and the device's own answers with them while
    // the host is not reading: a retransmission), absorbed by the packets'
    // retries; a refusing endpoint as kOutRefusedCode says.
    for (Step step : {kVersion, kAreaOpen, kErase, kBlocks, kAreaEnd, kResetWait}) {
        codes[step][kReportBurst] = 0;
        codes[step][kOutRefused] = step == kResetWait ? 0 : kOutRefusedCode;
    }
    return codes;
}

const DeviceKind kUsb = {
    "USB scanner",
    UsbScanner,
    0x41,
    Target::Cable,
    UsbCodes(),
    NothingToDo,
    INTERFACE_USB_HID,
};

// Behind a cradle a silent line costs 5 once the scanner is being reached:
// the cradle still hears "+++" and BASDNG1 but its answer never comes, so
// it did not (as far as the host can tell) return to server mode. A power
// loss of the scanner is not absorbed here: its restart and the cradle's
// reconnection outlast the image's tries, which follow each other at once.
const DeviceKind kCradle = {
    "scanner behind a cradle",
    sim::DeviceConfig::CradleWithScanner,
    0x41,
    Target::Scanner,
    Matrix{{
        /* P_INFO        */ Row{NA, NA, NA, 0, 1, NA, NA, 0, NA, NA, NA, NA},
        /* boot entry    */ Row{NA, NA, NA, 0, 5, 0, NA, 0, NA, NA, NA, NA},
        /* parameters    */ Row{NA, NA, NA, 0, 5, NA, NA, 0, 1, NA, NA, NA},
        /* version query */ Row{0, 0, 0, 0, 5, NA, NA, NA, NA, NA, NA, NA},
        /* area open     */ Row{0, 0, 0, 0, 5, NA, NA, NA, NA, NA, NA, NA},
        /* erase         */ Row{0, 0, 0, 0, 5, NA, NA, NA, NA, NA, NA, NA},
        /* block writes  */ Row{0, 0, 0, 0, 5, NA, NA, NA, NA, 1, NA, NA},
        /* area end      */ Row{0, 0, 0, 0, 5, NA, NA, NA, NA, NA, NA, NA},
        /* reset wait    */ Row{0, 0, 0, 0, 5, 0, NA, 0, NA, NA, NA, NA},
        /* post-flash    */ Row{NA, NA, NA, 0, 5, 0, NA, 0, NA, NA, NA, NA},
    }},
    IntoTheCradleWhenStuck,
};

void RunMatrix(const DeviceKind& kind, bool fast = false, bool replay = false)
{
    FaultMatrix matrix(kind, fast, replay);
    matrix.Record();
    if (::testing::Test::HasFatalFailure())
        return;
    matrix.RunAll();
    std::printf("\n%s\n", matrix.Table().c_str());
    if (replay)
        std::printf("%d cells replayed otherwise than recorded\n", matrix.ReplayFailures());
}

TEST(FaultMatrix, CordedScanner)
{
    RunMatrix(kCorded);
}

TEST(FaultMatrix, UsbScanner)
{
    RunMatrix(kUsb);
}

TEST(FaultMatrix, ScannerBehindACradle)
{
    RunMatrix(kCradle);
}

// Each cell recorded as it runs, and its recording replayed: a failure the
// device or the line caused (a device gone and back, a failed open, a read
// that ended early, a refused write) comes back at its point.
TEST(FaultMatrixReplay, CordedScanner)
{
    RunMatrix(kCorded, false, true);
}

TEST(FaultMatrixReplay, UsbScanner)
{
    RunMatrix(kUsb, false, true);
}

TEST(FaultMatrixReplay, ScannerBehindACradle)
{
    RunMatrix(kCradle, false, true);
}

TEST(FaultMatrix, CordedScannerFast)
{
    RunMatrix(kCorded, true);
}

TEST(FaultMatrix, UsbScannerFast)
{
    RunMatrix(kUsb, true);
}

TEST(FaultMatrix, ScannerBehindACradleFast)
{
    RunMatrix(kCradle, true);
}

} // namespace
