// Writes the initial corpus of fuzz_flash_device: real exchanges. Each
// scenario runs a whole flash or version query of a tool against the
// in-process simulator and records what the device answered after each host
// write, as a script of HostileDevice.h; the script is then replayed against
// a fresh tool, and both results are printed.
#include "../HostileDevice.h"
#include "sim/Device.h"
#include "sim/InProcess.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

// What the device sent between two host writes, and when the host first
// got any of it.
struct Answer {
    uint64_t delay = 0;
    std::vector<uint8_t> bytes;
};

// Sits between the engine and the simulator's transport. One recording at
// a time: the transport slots carry no room for a second cookie.
struct Recorder {
    sim::Device* device;
    platform::VirtualClock* clock;
    std::vector<Answer> answers{1};
    uint64_t writtenAt = 0;
    int32_t (*simWrite)(FlashIoDevice*, const uint8_t*, uint32_t) = nullptr;
    int32_t (*simRead)(FlashIoDevice*, uint8_t*, uint32_t, uint32_t) = nullptr;
};
Recorder* g_recorder = nullptr;

int32_t RecordWrite(FlashIoDevice* io, const uint8_t* data, uint32_t length)
{
    int32_t result = g_recorder->simWrite(io, data, length);
    g_recorder->answers.emplace_back();
    g_recorder->writtenAt = g_recorder->clock->Now();
    return result;
}

int32_t RecordRead(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    int32_t result = g_recorder->simRead(io, buffer, length, timeoutMs);
    if (result > 0) {
        Answer& answer = g_recorder->answers.back();
        if (answer.bytes.empty())
            answer.delay = g_recorder->clock->Now() - g_recorder->writtenAt;
        answer.bytes.insert(answer.bytes.end(), buffer, buffer + result);
    }
    return result;
}

int32_t Wrap(FlashIo* io, int32_t installed)
{
    if (installed == 0) {
        g_recorder->simWrite = io->io->writeBytes;
        g_recorder->simRead = io->io->readBytes;
        io->io->writeBytes = RecordWrite;
        io->io->readBytes = RecordRead;
    }
    return installed;
}

int32_t RecordSerial(void*, FlashIo* io, const wchar_t* name, const WIN32_232_SETTINGS* settings)
{
    sim::InProcessOptions options;
    options.portName = platform::WideToUtf8(name ? name : L"");
    options.line = sim::LineFromDcb(settings->dcb);
    return Wrap(io, sim::InstallInProcess(io->io, *g_recorder->device, *g_recorder->clock, options));
}

int32_t RecordUsb(void*, FlashIo* io, const UsbIdentity*)
{
    return Wrap(io, sim::InstallInProcess(io->io, *g_recorder->device, *g_recorder->clock) == 0 ? 0 : -1);
}

void PutU16(std::vector<uint8_t>& out, uint64_t value)
{
    value = std::min<uint64_t>(value, 0xFFFF);
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

std::vector<uint8_t> Script(uint8_t mode, const std::vector<Answer>& answers)
{
    std::vector<uint8_t> script{mode};
    for (const Answer& answer : answers) {
        if (answer.bytes.size() > hostile::kSegmentMax) {
            std::fprintf(stderr, "fuzz_flash_device_corpus: an answer of %zu bytes\n", answer.bytes.size());
            exit(1);
        }
        PutU16(script, answer.delay);
        PutU16(script, answer.bytes.size());
        script.insert(script.end(), answer.bytes.begin(), answer.bytes.end());
    }
    // Trailing writes the device did not answer cost nothing to leave out.
    while (script.size() > 1 + hostile::kSegmentHeader &&
           std::equal(script.end() - 4, script.end(), std::vector<uint8_t>(4, 0).begin()))
        script.resize(script.size() - 4);
    return script;
}

uint32_t Record(uint8_t mode, const sim::DeviceConfig& config, const hostile::FirmwareFiles& files,
                std::vector<uint8_t>& script)
{
    platform::ScopedVirtualClock time;
    sim::Device device(config);
    Recorder recorder{&device, &time.clock};
    recorder.writtenAt = time.clock.Now();
    g_recorder = &recorder;
    CFlashTool* tool = CreateFlashTool();
    tool->context->engine->transportHooks = {&RecordSerial, &RecordUsb, nullptr};
    hostile::Configure(tool, mode);
    FileVersionInfo info;
    uint32_t result = hostile::RunOperation(tool, mode, files, &info);
    DestroyFlashTool(tool);
    g_recorder = nullptr;
    script = Script(mode, recorder.answers);
    return result;
}

uint32_t Replay(const std::vector<uint8_t>& script, const hostile::FirmwareFiles& files)
{
    platform::ScopedVirtualClock time;
    uint8_t mode = script[0];
    hostile::ScriptPlayer player(script.data() + 1, script.size() - 1, time.clock,
                                 hostile::InterfaceOf(mode) == INTERFACE_USB_HID);
    CFlashTool* tool = CreateFlashTool();
    tool->context->engine->transportHooks = player.Hooks();
    hostile::Configure(tool, mode);
    FileVersionInfo info;
    uint32_t result = hostile::RunOperation(tool, mode, files, &info);
    DestroyFlashTool(tool);
    return result;
}

struct Scenario {
    const char* name;
    uint8_t mode;
    std::function<void(sim::DeviceConfig&)> arrange;
    bool cradle = false;
};

enum : uint8_t {
    kUsb = 1,
    kNoWake = 2,
    kVersion = 4,
    kCradleFile = 1 << 3,
    kSingleImage = 2 << 3,
    kAssist = 32,
};

void Plain(sim::DeviceConfig&) {}

const Scenario kScenarios[] = {
    {"flash-corded", 0, Plain},
    {"flash-corded-nowake", kNoWake, Plain},
    {"flash-corded-usb", kUsb, [](sim::DeviceConfig& c) { c.unit.cbl = 4; }},
    {"flash-corded-in-bootloader", 0, [](sim::DeviceConfig& c) { c.unit.startInBootloader = true; }},
    {"flash-corded-low-power", 0, [](sim::DeviceConfig& c) { c.unit.lowPower = true; }},
    {"flash-single-image", kSingleImage, Plain},
    {"flash-corded-nak", 0, [](sim::DeviceConfig& c) { c.faults.nakFrame = 5; }},
    {"flash-corded-can", 0, [](sim::DeviceConfig& c) { c.faults.canFrame = 6; }},
    {"flash-corded-bad-crc", 0, [](sim::DeviceConfig& c) { c.faults.badCrcReply = 4; }},
    {"flash-corded-garbled-echo", 0, [](sim::DeviceConfig& c) { c.faults.garbleEcho = 2; }},
    {"flash-corded-lost-byte", 0, [](sim::DeviceConfig& c) { c.faults.loseByte = 300; }},
    {"flash-corded-refused-settings", 0, [](sim::DeviceConfig& c) { c.faults.refuseSets = "*"; }},
    {"flash-corded-version-22", 0, [](sim::DeviceConfig& c) { c.faults.protocolVersion = 22; }},
    {"flash-corded-port-change", kAssist, [](sim::DeviceConfig& c) { c.faults.portChange = true; }},
    {"flash-incompatible", 0, [](sim::DeviceConfig& c) { c.unit.incompat = {hostile::kScannerCompat}; }},
    {"flash-cradle-scanner", 0, Plain, true},
    {"flash-cradle-itself", kCradleFile, Plain, true},
    {"flash-cradle-one-wire", 0,
     [](sim::DeviceConfig& c) {
         c.linked = false;
         c.scannerInCradle = true;
         c.scanner.startInBootloader = true;
     },
     true},
    {"flash-cradle-low-battery", 0, [](sim::DeviceConfig& c) { c.faults.lowBattery = true; }, true},
    {"flash-cradle-client", 0, [](sim::DeviceConfig& c) { c.serverMode = false; }, true},
    {"version-corded", kVersion, Plain},
    {"version-corded-usb", kVersion | kUsb, [](sim::DeviceConfig& c) { c.unit.cbl = 4; }},
    {"version-cradle", kVersion, Plain, true},
    {"version-cradle-itself", kVersion | kCradleFile, Plain, true},
};

bool Write(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "fuzz_flash_device_corpus: %s: cannot write\n", path.c_str());
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_flash_device_corpus DIR\n");
        return 64;
    }
    hostile::FirmwareFiles files;
    bool ok = true;
    for (const Scenario& s : kScenarios) {
        sim::DeviceConfig config = s.cradle ? sim::DeviceConfig::CradleWithScanner() : sim::DeviceConfig::CordedScanner();
        config.portName = "FUZZ0";
        s.arrange(config);
        std::vector<uint8_t> script;
        uint32_t recorded = Record(s.mode, config, files, script);
        uint32_t replayed = Replay(script, files);
        std::printf("%-32s %6zu bytes, result %d, replayed %d\n", s.name, script.size(), int32_t(recorded),
                    int32_t(replayed));
        ok = Write(std::string(argv[1]) + "/" + s.name, script) && ok;
    }
    return ok ? 0 : 1;
}
