// A simulated device as a transport sees it: bytes go in at an instant, bytes
// come out at scheduled instants, and everything in between runs on the
// device's own event queue. Time is whatever the caller says it is: the
// virtual clock in process, the monotonic clock behind a pty.
#pragma once

#include "sim/Config.h"
#include "sim/Cradle.h"
#include "sim/Environment.h"
#include "sim/Replay.h"
#include "sim/Scanner.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

class Device {
public:
    explicit Device(const DeviceConfig& config);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Host bytes arriving at `now`, framed as `host`. A device whose framing
    // differs understands none of them.
    void Receive(const uint8_t* data, size_t length, Time now, const LineSettings& host);
    // Runs the work due up to `now`.
    void Advance(Time now);
    // The earliest instant at which an output byte or other work is due.
    std::optional<Time> NextEvent() const;
    // The earliest instant at which an output byte is due.
    std::optional<Time> NextOutput() const;
    // Takes up to `max` output bytes due by `now`.
    size_t Read(uint8_t* buffer, size_t max, Time now);
    // Drops the output bytes due by `now`, as a driver purge drops what it holds.
    void Purge(Time now);
    // The framing the host uses now, for the device's own output.
    void SetHostLine(const LineSettings& host) { hostLine_ = host; }

    // The port under which the device is reached now; it changes only with the
    // port-change fault.
    const std::string& PortName() const { return portName_; }
    uint32_t PortGeneration() const { return portGeneration_; }
    // How often the unit on the cable has gone off the bus (a restart,
    // silence), and when it did the n-th time (from 0).
    uint32_t BusDepartures() const { return static_cast<uint32_t>(departures_.size()); }
    Time DepartedAt(uint32_t n) const { return departures_[n]; }

    // The unit on the cable: the scanner, or the cradle.
    FirmwareUnit& Cable() { return *cable_; }
    // The scanner, on the cable or behind the cradle; null for a cradle without one.
    Scanner* TheScanner();
    Cradle* TheCradle() { return cradle_.get(); }
    const DeviceConfig& Config() const { return config_; }
    Environment& Env() { return env_; }
    void SetTrace(std::function<void(const std::string&)> trace) { env_.trace = std::move(trace); }

    // Lets a clock observer outlive the device harmlessly.
    std::weak_ptr<bool> AliveToken() const { return alive_; }
    // True the first time a given clock asks; the device then observes it.
    bool MarkObserved(const void* clock);

    // The framing the device on the cable runs now: the application's, or
    // 8-N-1 in its bootloader. A link without framing (USB) sends in it.
    LineSettings DeviceLine() const;

    // The recording a replaying device plays; null for a simulated one.
    const Replay* TheReplay() const { return replay_.get(); }
    Replay* TheReplay() { return replay_.get(); }
    // A replaying USB device's place on the bus, as its recording has it.
    struct ReplayBus {
        bool attached = true;
        uint32_t enumeration = 0;
        Replay::Ids ids;   // vid -1: the configured ones
    };
    const ReplayBus& TheReplayBus() const { return replayBus_; }

private:
    void LineSend(const std::string& bytes);
    void OnCableModeChanged(Mode from, Mode to);
    void StartReplay();

    DeviceConfig config_;
    Environment env_;
    std::unique_ptr<Scanner> scanner_;
    std::unique_ptr<Cradle> cradle_;
    FirmwareUnit* cable_ = nullptr;
    std::deque<std::pair<Time, uint8_t>> out_;
    uint64_t lineFreeUs_ = 0;
    LineSettings hostLine_{115200, 8, 'N', 1};
    std::string portName_;
    uint32_t portGeneration_ = 0;
    std::vector<Time> departures_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::vector<const void*> observed_;
    std::unique_ptr<Replay> replay_;
    ReplayBus replayBus_;
};

} // namespace sim
