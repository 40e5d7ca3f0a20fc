#include "sim/Device.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint32_t kDefaultBaud = 115200;

// "SIM0" becomes "SIM1"; a name without a trailing number gets one.
std::string NextPortName(const std::string& name)
{
    size_t digits = name.find_last_not_of("0123456789") + 1;
    if (digits == name.size())
        return name + "1";
    return name.substr(0, digits) + std::to_string(std::stoull(name.substr(digits)) + 1);
}

} // namespace

Device::Device(const DeviceConfig& config) : config_(config), portName_(config.portName)
{
    env_.timings = config.timings;
    env_.faults = config.faults;
    if (config.cradle) {
        cradle_ = std::make_unique<Cradle>(config, env_);
        cable_ = cradle_.get();
    } else {
        scanner_ = std::make_unique<Scanner>(config.unit, env_);
        cable_ = scanner_.get();
    }
    cable_->output = [this](const std::string& bytes) { LineSend(bytes); };
    cable_->modeChanged = [this](Mode from, Mode to) { OnCableModeChanged(from, to); };
    if (config.replay)
        StartReplay();
}

// A replaying device hears the host's bytes whatever its framing and sends
// the recorded bytes at the recorded instants; the simulated unit stays idle.
void Device::StartReplay()
{
    replay_ = std::make_unique<Replay>(config_.replay, config_.replayFast);
    portName_ = replay_->FirstPort();
    replay_->trace = [this](const std::string& text) { env_.Trace("replay", text); };
    replay_->send = [this](uint64_t delayMs, const std::vector<uint8_t>& bytes) {
        env_.scheduler.After(delayMs, [this, bytes] {
            if (replay_->Stopped())
                return;
            for (uint8_t byte : bytes)
                out_.emplace_back(env_.Now(), byte);
        });
    };
    replay_->rename = [this](uint64_t delayMs, const std::string& port) {
        env_.scheduler.After(delayMs, [this, port] {
            env_.Trace("port", portName_ + " is gone; the device comes back as " + port);
            portName_ = port;
            ++portGeneration_;
        });
    };
    replay_->replug = [this](uint64_t delayMs, bool attached, int32_t vid, int32_t pid, int32_t mi) {
        env_.scheduler.After(delayMs, [this, attached, vid, pid, mi] {
            if (attached) {
                ++replayBus_.enumeration;
                if (vid >= 0)
                    replayBus_.ids = Replay::Ids{vid, pid, mi};
            }
            replayBus_.attached = attached;
            env_.Trace("usb", attached ? "back on the bus, as recorded" : "off the bus, as recorded");
        });
    };
    replayBus_.ids = replay_->FirstIds();
    replay_->Start();
}

Device::~Device()
{
    alive_.reset();
}

Scanner* Device::TheScanner()
{
    return scanner_ ? scanner_.get() : cradle_->LinkedScanner();
}

bool Device::MarkObserved(const void* clock)
{
    if (std::find(observed_.begin(), observed_.end(), clock) != observed_.end())
        return false;
    observed_.push_back(clock);
    return true;
}

LineSettings Device::DeviceLine() const
{
    if (cable_->CurrentMode() == Mode::Application)
        return config_.lineAfterFlash && cable_->ApplicationArea().ended ? *config_.lineAfterFlash : config_.line;
    // Bootloaders talk 8-N-1 at the application's speed.
    return LineSettings{config_.line.baud, 8, 'N', 1};
}

void Device::OnCableModeChanged(Mode from, Mode to)
{
    bool down = to == Mode::Restarting || to == Mode::Silent;
    if (down && (from == Mode::Application || from == Mode::Bootloader))
        departures_.push_back(env_.Now());
    if (down && env_.faults.portChange && cable_->RestartTarget() == Mode::Application) {
        std::string old = portName_;
        portName_ = NextPortName(portName_);
        ++portGeneration_;
        env_.Trace("port", old + " is gone; the device comes back as " + portName_);
    }
}

void Device::Advance(Time now)
{
    env_.scheduler.RunUntil(now);
}

void Device::Receive(const uint8_t* data, size_t length, Time now, const LineSettings& host)
{
    Advance(now);
    env_.counters.inputBytes += length;
    hostLine_ = host;
    if (replay_) {
        replay_->Receive(data, length, &host);
        return;
    }
    LineSettings device = DeviceLine();
    if (!LinesMatch(device, host)) {
        env_.Trace("line", "not understood: " + std::to_string(length) + " bytes at " + LineText(host) +
                               ", the device runs " + LineText(device));
        return;
    }
    cable_->Receive(data, length);
}

void Device::LineSend(const std::string& bytes)
{
    Time now = env_.Now();
    LineSettings device = DeviceLine();
    if (!LinesMatch(device, hostLine_)) {
        env_.Trace("line", "sent " + std::to_string(bytes.size()) + " bytes at " + LineText(device) +
                               " that a host at " + LineText(hostLine_) + " cannot read");
        return;
    }
    uint32_t baud = hostLine_.baud ? hostLine_.baud : kDefaultBaud;
    uint64_t bitsPerByte = 1u + hostLine_.dataBits + (hostLine_.parity == 'N' ? 0u : 1u) + hostLine_.stopBits;
    uint64_t byteUs = bitsPerByte * 1000000u / baud;
    lineFreeUs_ = std::max(lineFreeUs_, now * 1000);
    const Faults& faults = env_.faults;
    for (char c : bytes) {
        uint32_t n = ++env_.counters.outputBytes;
        if (faults.silentFrom && n >= faults.silentFrom) {
            if (n == faults.silentFrom)
                env_.Trace("line", "fault: silent from output byte " + std::to_string(n) + " on");
            continue;
        }
        if (n == faults.loseByte || (faults.loseEvery && n % faults.loseEvery == 0)) {
            env_.Trace("line", "fault: lost output byte " + std::to_string(n) + " " +
                                   Printable(std::string(1, c)));
            continue;
        }
        Time at = now;
        if (env_.timings.lineSpeed) {
            lineFreeUs_ += byteUs;
            at = (lineFreeUs_ + 999) / 1000;
        }
        out_.emplace_back(at, static_cast<uint8_t>(c));
    }
}

std::optional<Time> Device::NextEvent() const
{
    std::optional<Time> next = env_.scheduler.Next();
    if (!out_.empty() && (!next || out_.front().first < *next))
        next = out_.front().first;
    return next;
}

std::optional<Time> Device::NextOutput() const
{
    if (out_.empty())
        return std::nullopt;
    return out_.front().first;
}

size_t Device::Read(uint8_t* buffer, size_t max, Time now)
{
    Advance(now);
    size_t count = 0;
    while (count < max && !out_.empty() && out_.front().first <= now) {
        buffer[count++] = out_.front().second;
        out_.pop_front();
    }
    return count;
}

void Device::Purge(Time now)
{
    Advance(now);
    while (!out_.empty() && out_.front().first <= now)
        out_.pop_front();
}

} // namespace sim
