// tambrix-sim: one simulated scanner or cradle (or a recorded device played
// back) on a pseudo-terminal, in real time, for host programs and end-to-end
// tests that open it like a serial port. The first line of standard output is the pty's path; the trace of
// what the device receives and does goes to standard error.
#include "sim/Device.h"
#include "sim/usb/HidrawServer.h"
#include "sim/usb/HidrawTestbed.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
// SIGUSR1s received: each pairs another scanner with the cradle.
volatile std::sig_atomic_t g_swaps = 0;

void OnSwap(int)
{
    g_swaps = g_swaps + 1;
}

void OnSignal(int)
{
    g_stop = 1;
}

void Usage(FILE* out)
{
    std::fprintf(out,
                 "usage: tambrix-sim [options]\n"
                 "Serves one simulated device on a new pseudo-terminal until SIGINT or SIGTERM.\n"
                 "SIGUSR1 (pty, --cradle): the cradle's scanner is taken away and another one\n"
                 "paired, with the next Bluetooth address and the areas a new one has.\n"
                 "Standard output: the pty's path, one line (and one more line with the new path\n"
                 "whenever the port-change fault renames the port). Standard error: the trace.\n"
                 "Without options: a corded scanner on a serial cable (cbl 2) running its\n"
                 "application, compat id 0x41, low-power mode off.\n"
                 "\n"
                 "device:\n"
                 "  --cradle                  a charge cradle (device-type 2) with a scanner behind it\n"
                 "  --state app|boot          what the device on the cable runs at start\n"
                 "  --scanner-state app|boot  what the scanner behind the cradle runs at start\n"
                 "  --no-scanner              a cradle without a scanner\n"
                 "  --no-link                 the cradle's radio link is down at start\n"
                 "  --scanner-in-cradle       the scanner sits in the cradle\n"
                 "  --client                  the cradle starts in client mode\n"
                 "  --compat LIST             compat ids of the device on the cable (0x41; cradle 0x61)\n"
                 "  --incompat LIST           incompat ids of the device on the cable\n"
                 "  --scanner-compat LIST     compat ids of the scanner (0x41)\n"
                 "  --scanner-incompat LIST   incompat ids of the scanner\n"
                 "  --cbl N                   cable value of the device on the cable (2)\n"
                 "  --scanner-cbl N           cable value of the scanner behind a cradle (32)\n"
                 "  --boot-m-name NAME        boot model name (SIMBOOT1); empty leaves the tag out\n"
                 "  --usb-ids VID:PID         bootloader USB ids reported in P_INFO\n"
                 "  --hw-rev N                hardware revision\n"
                 "  --app-version TEXT        application version before any flash\n"
                 "  --boot-version TEXT       bootloader version before any flash\n"
                 "  --low-power               answer only after a SYN 'C' CR wake-up (PWRMOD)\n"
                 "  --battery PERCENT         the scanner's battery; BT_FLS reports 1 below 20\n"
                 "  --address ADDR            the scanner's Bluetooth address, 12 hex digits\n"
                 "  --line SETTING            the application's line settings, e.g. 8O1, 9600-8N2\n"
                 "                            (the bootloader always runs 8N1)\n"
                 "  --line-after-flash SETTING the application's line settings once its area\n"
                 "                            has been written\n"
                 "  --btl-max N               the bootloader's BTLMAX (256)\n"
                 "  --write-multiple N        write blocks must be a multiple of N bytes\n"
                 "faults and timings (both repeatable):\n"
                 "  --fault NAME[=VALUE]\n%s"
                 "  --timing NAME=MS\n%s"
                 "replay:\n"
                 "  --replay FILE             play the device's side of a recording (made with the\n"
                 "                            library's CFS_PELLARO_RECORD_FILE or tambrix-flash\n"
                 "                            --record) instead of simulating one: after each host\n"
                 "                            write that matches, send what the recorded host read\n"
                 "                            after it, with the recorded gaps. Where the host parts\n"
                 "                            from the recording, say where on standard error and\n"
                 "                            exit 1. With --usb, a USB recording on the hidraw\n"
                 "                            node: off the bus and back, with the ids the recorded\n"
                 "                            host found it by, where it was\n"
                 "  --fast                    no gaps: send at once\n"
                 "USB:\n"
                 "  --usb                     serve the device as a USB HID device in a umockdev\n"
                 "                            testbed instead of a pty: standard output gives the\n"
                 "                            hidraw node, then the testbed's directory; run the\n"
                 "                            host with UMOCKDEV_DIR set to it and umockdev's\n"
                 "                            preload library (see sim/README.md)\n"
                 "  --usb-app-ids VID:PID     the application's USB ids (0xf0f0:0x0a01)\n"
                 "  --usb-keep-ptys           keep each unplugged node's pty open until the end (for\n"
                 "                            hosts under Wine, which end on a node's hang-up)\n"
                 "  --usb-vanish-at TEXT      leave the bus for good when the trace shows TEXT\n"
                 "  --usb-move                come back from each restart on another USB port and\n"
                 "                            hidraw node, off the bus for a while first\n"
                 "  --usb-no-serial           the device has no serial number\n"
                 "output:\n"
                 "  --dump-dir DIR            on exit, write the areas: scanner-app.bin,\n"
                 "                            scanner-boot.bin (and cradle-app.bin, cradle-boot.bin;\n"
                 "                            scanner-N-*.bin of the N-th scanner taken away)\n"
                 "  --trace-bytes             trace the raw bytes received as well\n"
                 "  --quiet                   no trace\n"
                 "  --help\n"
                 "exit codes: 0 stopped by a signal (a replay: with every write played); 1 the\n"
                 "host parted from the replayed recording or went past its end; 2 a replay\n"
                 "stopped by a signal before its end; 64 bad usage; 71 no pty\n",
                 sim::FaultHelp(), sim::TimingHelp());
}

[[noreturn]] void Bad(const std::string& text)
{
    std::fprintf(stderr, "tambrix-sim: %s (see --help)\n", text.c_str());
    std::exit(64);
}

struct Options {
    sim::DeviceConfig config;
    bool usb = false;
    bool keepPtys = false;
    std::string vanishAt;
    bool move = false;
    bool serialNumber = true;
    bool resetDelaySet = false;
    std::string dumpDir;
    bool quiet = false;
    bool traceBytes = false;
    std::string replay;
    bool fast = false;
};

int32_t Number(const std::string& option, const std::string& value)
{
    uint64_t n = 0;
    if (!sim::ParseNumber(value, n) || n > 0x7FFFFFFF)
        Bad(option + " needs a number");
    return static_cast<int32_t>(n);
}

std::vector<uint32_t> Ids(const std::string& option, const std::string& value)
{
    std::vector<uint32_t> ids;
    if (!value.empty() && !sim::ParseIdList(value, ids))
        Bad(option + " needs ids such as 0x41,0x42");
    return ids;
}

bool StartsInBootloader(const std::string& option, const std::string& value)
{
    if (value != "app" && value != "boot")
        Bad(option + " is app or boot");
    return value == "boot";
}

Options Parse(int argc, char** argv)
{
    Options options;
    bool cradle = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cradle") == 0)
            cradle = true;
        if (std::strcmp(argv[i], "--help") == 0) {
            Usage(stdout);
            std::exit(0);
        }
    }
    sim::DeviceConfig& c = options.config = cradle ? sim::DeviceConfig::CradleWithScanner()
                                                   : sim::DeviceConfig::CordedScanner();
    sim::UnitConfig& scanner = cradle ? c.scanner : c.unit;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Bad(option + " needs a value");
            return argv[++i];
        };
        std::string error;
        if (option == "--cradle") {
        } else if (option == "--state") {
            c.unit.startInBootloader = StartsInBootloader(option, value());
        } else if (option == "--scanner-state") {
            scanner.startInBootloader = StartsInBootloader(option, value());
        } else if (option == "--no-scanner") {
            c.scannerPresent = false;
        } else if (option == "--no-link") {
            c.linked = false;
        } else if (option == "--scanner-in-cradle") {
            c.scannerInCradle = true;
        } else if (option == "--client") {
            c.serverMode = false;
        } else if (option == "--compat") {
            c.unit.compat = Ids(option, value());
        } else if (option == "--incompat") {
            c.unit.incompat = Ids(option, value());
        } else if (option == "--scanner-compat") {
            scanner.compat = Ids(option, value());
        } else if (option == "--scanner-incompat") {
            scanner.incompat = Ids(option, value());
        } else if (option == "--cbl") {
            c.unit.cbl = Number(option, value());
        } else if (option == "--scanner-cbl") {
            scanner.cbl = Number(option, value());
        } else if (option == "--boot-m-name") {
            c.unit.bootModelName = value();
        } else if (option == "--usb-ids" || option == "--usb-app-ids") {
            std::string ids = value();
            size_t colon = ids.find(':');
            if (colon == std::string::npos)
                Bad(option + " is VID:PID");
            bool app = option == "--usb-app-ids";
            (app ? c.unit.usbAppVid : c.unit.usbVid) = Number(option, ids.substr(0, colon));
            (app ? c.unit.usbAppPid : c.unit.usbPid) = Number(option, ids.substr(colon + 1));
        } else if (option == "--usb") {
            options.usb = true;
        } else if (option == "--usb-keep-ptys") {
            options.keepPtys = true;
        } else if (option == "--usb-vanish-at") {
            options.vanishAt = value();
        } else if (option == "--usb-move") {
            options.move = true;
        } else if (option == "--usb-no-serial") {
            options.serialNumber = false;
        } else if (option == "--hw-rev") {
            c.unit.hwRev = Number(option, value());
        } else if (option == "--app-version") {
            c.unit.appVersion = value();
        } else if (option == "--boot-version") {
            c.unit.bootVersion = value();
        } else if (option == "--low-power") {
            c.unit.lowPower = true;
        } else if (option == "--battery") {
            scanner.battery = static_cast<uint32_t>(Number(option, value()));
        } else if (option == "--address") {
            scanner.btAddress = value();
            if (scanner.btAddress.size() != 12)
                Bad("--address needs 12 hex digits");
        } else if (option == "--line") {
            if (!sim::ParseLine(value(), c.line))
                Bad("--line needs settings such as 8N1, 8O1 or 9600-8N2");
        } else if (option == "--line-after-flash") {
            c.lineAfterFlash.emplace();
            if (!sim::ParseLine(value(), *c.lineAfterFlash))
                Bad("--line-after-flash needs settings such as 8N1, 8O1 or 9600-8N2");
        } else if (option == "--btl-max") {
            c.unit.boot.maxPayload = scanner.boot.maxPayload = Number(option, value());
        } else if (option == "--write-multiple") {
            c.unit.writeMultiple = scanner.writeMultiple = static_cast<uint32_t>(Number(option, value()));
        } else if (option == "--fault") {
            if (!sim::ApplyFault(c, value(), &error))
                Bad(error);
        } else if (option == "--timing") {
            std::string timing = value();
            if (!sim::ApplyTiming(c.timings, timing, &error))
                Bad(error);
            options.resetDelaySet |= timing.rfind("reset-delay=", 0) == 0;
        } else if (option == "--dump-dir") {
            options.dumpDir = value();
        } else if (option == "--replay") {
            options.replay = value();
        } else if (option == "--fast") {
            options.fast = true;
        } else if (option == "--quiet") {
            options.quiet = true;
        } else if (option == "--trace-bytes") {
            options.traceBytes = true;
        } else {
            Bad("unknown option " + option);
        }
    }
    if (options.fast && options.replay.empty())
        Bad("--fast goes with --replay");
    return options;
}

// The recording a replaying device plays, or exit 64 with the reason.
void LoadReplay(Options& options)
{
    if (options.replay.empty())
        return;
    auto recording = std::make_shared<sim::Recording>();
    std::string error;
    if (!sim::LoadRecording(options.replay, *recording, &error))
        Bad("--replay " + options.replay + ": " + error);
    options.config.replay = recording;
    options.config.replayFast = options.fast;
}

// A replay that stopped says why; 0 when every write was played.
int ReplayVerdict(const sim::Device& device)
{
    const sim::Replay* replay = device.TheReplay();
    if (!replay)
        return 0;
    std::fprintf(stderr, "tambrix-sim: replay: %s\n", replay->Report().c_str());
    switch (replay->CurrentState()) {
    case sim::Replay::State::Finished: return 0;
    case sim::Replay::State::Playing: return 2;
    default: return 1;
    }
}

// ---- the pseudo-terminal ------------------------------------------------------

struct Pty {
    int master = -1;
    int slave = -1;  // held open so the pty lives on between the host's opens
    std::string path;

    bool Open()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return false;
        const char* name = ptsname(master);
        if (!name)
            return false;
        path = name;
        slave = open(name, O_RDWR | O_NOCTTY);
        if (slave < 0)
            return false;
        termios raw{};
        if (tcgetattr(slave, &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(slave, TCSANOW, &raw);
        }
        // Output nobody reads is lost, as on a serial line, rather than
        // blocking the device.
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        return true;
    }
    void Close()
    {
        if (slave >= 0)
            close(slave);
        if (master >= 0)
            close(master);
        slave = master = -1;
    }
    // The old name of a device that came back under a new one. Closed, its
    // number would go to the next pty anyone opens, and a host still trying
    // the old name would write into another program's device; kept open
    // but locked, an open of the name fails as that of a vanished port.
    // Returns the master to hold until the simulator ends.
    int Retire()
    {
        int lock = 1;
        ioctl(master, TIOCSPTLCK, &lock);
        if (slave >= 0)
            close(slave);
        int kept = master;
        slave = master = -1;
        return kept;
    }
};

uint32_t BaudOf(speed_t speed)
{
    static const struct {
        speed_t code;
        uint32_t baud;
    } kSpeeds[] = {{B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},
                   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                   {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
                   {B921600, 921600}};
    for (const auto& entry : kSpeeds) {
        if (entry.code == speed)
            return entry.baud;
    }
    return 115200;
}

// The framing the host set on its end, as the master side reads it back.
sim::LineSettings HostLine(int master)
{
    sim::LineSettings line{115200, 8, 'N', 1};
    termios t{};
    if (tcgetattr(master, &t) != 0)
        return line;
    line.baud = BaudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        line.dataBits = 5;
        break;
    case CS6:
        line.dataBits = 6;
        break;
    case CS7:
        line.dataBits = 7;
        break;
    default:
        line.dataBits = 8;
        break;
    }
    // A pty drops PARENB but keeps PARODD, so odd parity shows as PARODD alone.
    line.parity = (t.c_cflag & PARODD) ? 'O' : (t.c_cflag & PARENB) ? 'E' : 'N';
    line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    line.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    line.xonXoff = (t.c_iflag & (IXON | IXOFF)) != 0;
    return line;
}

void Dump(const std::string& dir, const std::string& unit, const sim::FirmwareUnit& firmware)
{
    auto write = [&](const std::string& name, const std::vector<uint8_t>& data) {
        std::string path = dir + "/" + unit + "-" + name + ".bin";
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out)
            std::fprintf(stderr, "tambrix-sim: cannot write %s\n", path.c_str());
    };
    write("app", firmware.ApplicationArea().data);
    write("boot", firmware.BootArea().data);
}

void DumpAll(const Options& options, sim::Device& device)
{
    if (options.dumpDir.empty())
        return;
    if (sim::Cradle* cradle = device.TheCradle())
        Dump(options.dumpDir, "cradle", *cradle);
    if (sim::Scanner* scanner = device.TheScanner())
        Dump(options.dumpDir, "scanner", *scanner);
    if (sim::Cradle* cradle = device.TheCradle())
        for (size_t n = 0; n < cradle->Retired().size(); ++n)
            Dump(options.dumpDir, "scanner-" + std::to_string(n + 1), *cradle->Retired()[n]);
}

// The address after the scanner's, as the next one off the line would have.
std::string NextAddress(const std::string& address)
{
    unsigned long long value = std::strtoull(address.c_str(), nullptr, 16) + 1;
    char text[16];
    std::snprintf(text, sizeof text, "%012llX", value & 0xFFFFFFFFFFFFull);
    return text;
}

// The SIGUSR1s not yet acted on.
void SwapScanners(sim::Device& device, sim::Time now, int& handled)
{
    for (; handled < g_swaps; ++handled) {
        sim::Cradle* cradle = device.TheCradle();
        sim::Scanner* scanner = device.TheScanner();
        if (!cradle || !scanner) {
            device.Env().Trace("sim", "SIGUSR1: no cradle with a scanner; nothing swapped");
            continue;
        }
        device.Advance(now);
        cradle->SwapScanner(NextAddress(scanner->Config().btAddress));
    }
}

void InstallSignals()
{
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnSwap;
    sigaction(SIGUSR1, &action, nullptr);
}

// umockdev builds its testbed through its own preload library: without it
// the program starts itself again with it.
void RunUnderUmockdev(char** argv)
{
    const char* old = std::getenv("LD_PRELOAD");
    if (old && std::strstr(old, "libumockdev-preload"))
        return;
    std::string preload = "libumockdev-preload.so.0";
    if (old && *old)
        preload = std::string(old) + ":" + preload;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "tambrix-sim: cannot start under umockdev: %s\n", std::strerror(errno));
    std::exit(71);
}

// The device on a hidraw node of a umockdev testbed, served by a thread of
// its own; a host started with the testbed's directory finds it through
// udev like a real one.
int ServeUsb(const Options& options, sim::Device& device)
{
    sim::HidrawTestbed testbed;
    if (options.keepPtys)
        testbed.KeepPtysOpen();
    sim::HidrawServer server(testbed, device);
    if (options.move)
        server.MoveOnRestart(options.serialNumber);
    else if (!options.serialNumber)
        server.NoSerialNumber();
    if (!options.vanishAt.empty()) {
        device.SetTrace([&options, &server](const std::string& line) {
            if (!options.quiet)
                std::fprintf(stderr, "%s\n", line.c_str());
            if (line.find(options.vanishAt) != std::string::npos)
                server.Vanish();
        });
    }
    if (!server.Start()) {
        std::fprintf(stderr, "tambrix-sim: umockdev refused the device\n");
        return 71;
    }
    std::printf("%s\n%s\n", server.Devnode().c_str(), testbed.Root().c_str());
    std::fflush(stdout);
    // A replay the host parted from ends at once, as on a pty.
    const sim::Replay* replay = device.TheReplay();
    for (int swaps = 0; !g_stop && !(replay && replay->Stopped()); usleep(100 * 1000)) {
        // The server's thread drives the device: it is not swapped under it.
        for (; swaps < g_swaps; ++swaps)
            std::fprintf(stderr, "tambrix-sim: SIGUSR1 swaps a cradle's scanner on the pty only\n");
    }
    server.Stop();
    DumpAll(options, device);
    return ReplayVerdict(device);
}

} // namespace

int main(int argc, char** argv)
{
    Options options = Parse(argc, argv);
    LoadReplay(options);
    if (options.usb)
        RunUnderUmockdev(argv);
    if (options.usb && !options.resetDelaySet) {
        // A USB host asks for the reset's reply only after a report wait
        // (250 ms); the device answers before it restarts.
        options.config.timings.resetDelayMs = 1000;
    }
    sim::Device device(options.config);
    if (!options.quiet)
        device.SetTrace([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });

    InstallSignals();
    if (options.usb)
        return ServeUsb(options, device);

    Pty pty;
    if (!pty.Open()) {
        std::fprintf(stderr, "tambrix-sim: no pseudo-terminal: %s\n", std::strerror(errno));
        return 71;
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);

    auto start = std::chrono::steady_clock::now();
    auto now = [&] {
        return static_cast<sim::Time>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    };
    uint32_t generation = device.PortGeneration();
    std::vector<int> retired;
    std::vector<uint8_t> buffer(4096);
    int swaps = 0;
    while (!g_stop) {
        sim::Time t = now();
        SwapScanners(device, t, swaps);
        device.Advance(t);
        if (device.PortGeneration() != generation) {
            generation = device.PortGeneration();
            Pty renamed;
            if (renamed.Open()) {
                retired.push_back(pty.Retire());
                pty = renamed;
                std::printf("%s\n", pty.path.c_str());
                std::fflush(stdout);
            }
        }
        for (size_t n; (n = device.Read(buffer.data(), buffer.size(), t)) > 0;) {
            if (write(pty.master, buffer.data(), n) != static_cast<ssize_t>(n))
                device.Env().Trace("line", "output lost: the host does not read");
        }
        std::optional<sim::Time> next = device.NextEvent();
        int timeout = 100;
        if (next)
            timeout = *next <= t ? 0 : static_cast<int>(std::min<sim::Time>(*next - t, 100));
        pollfd fd{pty.master, POLLIN, 0};
        int ready = poll(&fd, 1, timeout);
        if (ready <= 0 || !(fd.revents & POLLIN))
            continue;
        ssize_t got = read(pty.master, buffer.data(), buffer.size());
        if (got <= 0)
            continue;
        t = now();
        if (options.traceBytes) {
            device.Advance(t);
            device.Env().Trace("host", "sent " + sim::Printable(std::string(buffer.begin(), buffer.begin() + got), 200));
        }
        device.Receive(buffer.data(), static_cast<size_t>(got), t, HostLine(pty.master));
        if (device.TheReplay() && device.TheReplay()->Stopped())
            break;
    }

    for (int fd : retired)
        close(fd);
    DumpAll(options, device);
    pty.Close();
    return ReplayVerdict(device);
}
