// Serves a simulated device as a USB HID device in a umockdev testbed, in
// real time on a thread of its own: it plugs the device in with the ids it
// enumerates with, passes the host's output reports to it and writes its
// input reports to the node, and pulls it out and plugs it in again
// (a new hidraw node, perhaps new ids) each time the device restarts.
//
// Input reports reach the node one at a time: the next only after the host
// has read the last. The node is a stream, and a host that reads more than
// a report at once (Wine's HID bus reads up to 1 KiB) would take two
// reports as one; a real device's interrupt endpoint delivers them apart.
//
// While the server runs, the device and the testbed belong to its thread;
// look at the device's areas after Stop().
#pragma once

#include "sim/UsbFace.h"
#include "sim/usb/HidrawTestbed.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sim {

class HidrawServer {
public:
    HidrawServer(HidrawTestbed& testbed, Device& device, int port = 1);
    ~HidrawServer();
    HidrawServer(const HidrawServer&) = delete;
    HidrawServer& operator=(const HidrawServer&) = delete;

    // Plugs the device in (when it runs) and starts serving: false when the
    // testbed refused the device.
    bool Start();
    void Stop();

    // The node the host opens now, and the Linux identity path parts; empty
    // while the device is off the bus.
    std::string Devnode();
    std::string UsbInterface();
    // Output reports the device has taken.
    uint32_t HostReports() const { return hostReports_; }

    // From now on each restart brings the device back under the next USB
    // port and another hidraw node, as real hardware may come back; with
    // or without a serial number. Before Start().
    void MoveOnRestart(bool serialNumber)
    {
        moving_ = true;
        serialNumber_ = serialNumber;
    }
    // A device without a serial number that stays where it is. Before Start().
    void NoSerialNumber() { serialNumber_ = false; }

    // Faults. The device leaves the bus for good; safe from any thread,
    // the device's trace included.
    void Vanish() { vanished_ = true; }
    // A raw input report, written before the device's next output.
    void Inject(const UsbReport& report);

private:
    void Run();
    void Step();
    void UpdateBus();
    void ServeReports(Time now);
    bool HostTookLastReport();
    Time Now() const;

    HidrawTestbed& testbed_;
    UsbFace face_;
    int port_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> hostReports_{0};
    std::atomic<bool> vanished_{false};
    std::mutex mutex_;  // guards node_'s names and injected_
    HidrawTestbed::Node node_;
    bool plugged_ = false;
    uint32_t enumeration_ = 0;
    bool moving_ = false;
    bool serialNumber_ = true;
    int lastHidraw_ = -1;
    std::optional<Time> unpluggedAt_;
    std::deque<UsbReport> injected_;
    std::deque<UsbReport> pending_;  // the device's, not yet on the node
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace sim
