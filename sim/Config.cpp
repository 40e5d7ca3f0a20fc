#include "sim/Config.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace sim {

bool ParseNumber(const std::string& text, uint64_t& out)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    out = value;
    return true;
}

bool ParseIdList(const std::string& text, std::vector<uint32_t>& out)
{
    std::vector<uint32_t> ids;
    size_t start = 0;
    while (start < text.size()) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        uint64_t value = 0;
        if (!ParseNumber(item, value) || value == 0 || value > 0xFFFFFFFFu)
            return false;
        ids.push_back(static_cast<uint32_t>(value));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    out = ids;
    return true;
}

bool ParseLine(const std::string& text, LineSettings& out)
{
    LineSettings line;
    std::string framing = text;
    size_t dash = text.find('-');
    std::string speed = dash == std::string::npos ? std::string() : text.substr(0, dash);
    if (dash != std::string::npos)
        framing = text.substr(dash + 1);
    else if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos)
        speed = text, framing.clear();
    if (!speed.empty()) {
        uint64_t baud = 0;
        if (!ParseNumber(speed, baud) || baud == 0 || baud > 4000000)
            return false;
        line.baud = static_cast<uint32_t>(baud);
    }
    if (!framing.empty()) {
        if (framing.size() != 3)
            return false;
        char bits = framing[0], parity = static_cast<char>(std::toupper(static_cast<unsigned char>(framing[1])));
        char stop = framing[2];
        if (bits < '5' || bits > '8' || std::string("NOEMS").find(parity) == std::string::npos ||
            (stop != '1' && stop != '2'))
            return false;
        line.dataBits = static_cast<uint8_t>(bits - '0');
        line.parity = parity;
        line.stopBits = static_cast<uint8_t>(stop - '0');
    }
    if (speed.empty() && framing.empty())
        return false;
    out = line;
    return true;
}

std::string LineText(const LineSettings& line)
{
    std::string text;
    if (line.baud != 0)
        text = std::to_string(line.baud) + "-";
    text += static_cast<char>('0' + line.dataBits);
    text += line.parity;
    text += static_cast<char>('0' + line.stopBits);
    return text;
}

bool LinesMatch(const LineSettings& device, const LineSettings& host)
{
    if (device.baud != 0 && device.baud != host.baud)
        return false;
    return device.dataBits == host.dataBits && device.parity == host.parity && device.stopBits == host.stopBits;
}

std::string FlowText(const LineSettings& line)
{
    if (line.rtsCts && line.xonXoff)
        return "RTS/CTS and XON/XOFF flow control";
    if (line.rtsCts)
        return "RTS/CTS flow control";
    if (line.xonXoff)
        return "XON/XOFF flow control";
    return "no flow control";
}

DeviceConfig DeviceConfig::CordedScanner()
{
    return DeviceConfig{};
}

DeviceConfig DeviceConfig::CradleWithScanner()
{
    DeviceConfig config;
    config.cradle = true;
    config.unit.deviceType = 2;
    config.unit.compat = {0x61};
    config.unit.bootModelName = "SIMCRADLEBOOT1";
    config.unit.usbPid = 0x0C01;
    config.unit.appVersion = "SIM-CRADLE-1";
    config.unit.bootVersion = "SIM-CBOOT-1";
    config.scanner.cbl = 32;
    return config;
}

namespace {

bool NumberValue(const std::string& name, const std::string& value, bool present, uint64_t max, uint64_t& out,
                 std::string* error)
{
    if (!present || !ParseNumber(value, out) || out > max) {
        if (error)
            *error = "fault " + name + " needs a number" + (max < 0xFFFFFFFFull ? " up to " + std::to_string(max) : "");
        return false;
    }
    return true;
}

} // namespace

bool ApplyFault(DeviceConfig& config, const std::string& option, std::string* error)
{
    size_t equals = option.find('=');
    std::string name = option.substr(0, equals);
    bool hasValue = equals != std::string::npos;
    std::string value = hasValue ? option.substr(equals + 1) : std::string();
    Faults& f = config.faults;
    uint64_t n = 0;
    auto number = [&](uint32_t& field, uint64_t max = 0xFFFFFFFFull) {
        if (!NumberValue(name, value, hasValue, max, n, error))
            return false;
        field = static_cast<uint32_t>(n);
        return true;
    };
    auto flag = [&](bool& field) {
        if (hasValue) {
            if (error)
                *error = "fault " + name + " takes no value";
            return false;
        }
        field = true;
        return true;
    };

    if (name == "nak-frame")
        return number(f.nakFrame);
    if (name == "nak-count")
        return number(f.nakCount);
    if (name == "can-frame")
        return number(f.canFrame);
    if (name == "bad-crc-reply")
        return number(f.badCrcReply);
    if (name == "silent-after-reset") {
        f.silentAfterReset = true;
        return !hasValue || number(f.silentMs);
    }
    if (name == "silent-from")
        return number(f.silentFrom);
    if (name == "lose-byte")
        return number(f.loseByte);
    if (name == "lose-every")
        return number(f.loseEvery);
    if (name == "garble-echo") {
        if (value == "all") {
            f.garbleEveryEcho = true;
            return true;
        }
        return number(f.garbleEcho);
    }
    if (name == "slow-restart")
        return number(f.slowRestartMs, 3600000);
    if (name == "port-change")
        return flag(f.portChange);
    if (name == "refuse-sets") {
        f.refuseSets = hasValue ? value : "*";
        return true;
    }
    if (name == "low-battery")
        return flag(f.lowBattery);
    if (name == "protocol-version") {
        if (!NumberValue(name, value, hasValue, 0x7FFFFFFF, n, error))
            return false;
        f.protocolVersion = static_cast<int32_t>(n);
        return true;
    }
    if (name == "incompatible")
        return flag(f.incompatible);
    if (name == "power-loss")
        return number(f.powerLossFrame);
    if (name == "busy") {
        if (value == "lose")
            f.busy = Faults::Busy::Loses;
        else if (value == "nak")
            f.busy = Faults::Busy::Naks;
        else if (value == "answer")
            f.busy = Faults::Busy::Answers;
        else {
            if (error)
                *error = "fault busy takes lose, nak or answer";
            return false;
        }
        return true;
    }
    if (name == "line") {
        if (!hasValue || !ParseLine(value, config.line)) {
            if (error)
                *error = "fault line needs line settings such as 8E1 or 9600-8O2";
            return false;
        }
        return true;
    }
    if (error)
        *error = "unknown fault: " + name;
    return false;
}

bool ApplyTiming(Timings& timings, const std::string& option, std::string* error)
{
    size_t equals = option.find('=');
    std::string name = option.substr(0, equals);
    uint64_t ms = 0;
    if (equals == std::string::npos || !ParseNumber(option.substr(equals + 1), ms) || ms > 3600000) {
        if (error)
            *error = "timing needs name=milliseconds (at most an hour): " + option;
        return false;
    }
    struct Entry {
        const char* name;
        uint32_t Timings::*field;
    };
    static const Entry kEntries[] = {
        {"menu-reply", &Timings::menuReplyMs}, {"wake-reply", &Timings::wakeReplyMs},
        {"newap2-delay", &Timings::newap2DelayMs}, {"reset-delay", &Timings::resetDelayMs},
        {"restart", &Timings::restartMs}, {"ack", &Timings::ackMs},
        {"command", &Timings::commandMs}, {"write", &Timings::writeMs},
        {"erase", &Timings::eraseMs}, {"awake", &Timings::awakeMs},
        {"bt-latency", &Timings::btLatencyMs}, {"link", &Timings::linkMs},
        {"connect", &Timings::connectMs}, {"plus-guard", &Timings::plusGuardMs},
    };
    for (const Entry& entry : kEntries) {
        if (name == entry.name) {
            timings.*entry.field = static_cast<uint32_t>(ms);
            return true;
        }
    }
    if (name == "line-speed") {
        timings.lineSpeed = ms != 0;
        return true;
    }
    if (error)
        *error = "unknown timing: " + name;
    return false;
}

const char* FaultHelp()
{
    return "    nak-frame=N          answer command frame N (from 1) with DLE NAK\n"
           "    nak-count=K          ... and the K-1 frames after it too (default 1)\n"
           "    can-frame=N          answer command frame N with DLE CAN\n"
           "    bad-crc-reply=N      send reply frame N (empty replies not counted) with a wrong CRC\n"
           "    silent-after-reset[=MS]  stay silent after a reset command (for MS, or for good)\n"
           "    silent-from=N        send nothing from output byte N of the device on the cable on\n"
           "    lose-byte=N          lose output byte N of the device on the cable\n"
           "    lose-every=K         lose every K-th output byte\n"
           "    garble-echo=N|all    garble the echo of menu reply N (or of every reply)\n"
           "    slow-restart=MS      take MS for every restart\n"
           "    port-change          come back under a new port name after each restart into the application\n"
           "    refuse-sets[=NAME]   answer BTL* sets (or only NAME) with NAK\n"
           "    low-battery          report a battery too low for flashing (BT_FLS 1)\n"
           "    protocol-version=V   report bootloader protocol version V instead of 23\n"
           "    incompatible         refuse the device's own compat ids (boot-incompat)\n"
           "    power-loss=N         lose power while carrying out command frame N (a block write half\n"
           "                         done) and come back in the bootloader\n"
           "    line=SETTING         run the application at other line settings, e.g. 8E1, 8O1, 8N2\n"
           "    busy=lose|nak        while a command is carried out (timings command, write, erase),\n"
           "                         lose every poll or frame that arrives, or answer it with DLE NAK\n"
           "                         (default answer: \"no reply yet\")\n";
}

const char* TimingHelp()
{
    return "    menu-reply, wake-reply, newap2-delay, reset-delay, restart, ack, command,\n"
           "    write, erase, awake, bt-latency, link, connect, plus-guard (milliseconds);\n"
           "    line-speed=0 sends output without byte times\n";
}

} // namespace sim
