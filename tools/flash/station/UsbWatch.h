// The HID devices with the station's application ids, as they come and go:
// on Linux the hidraw nodes, from libudev's monitor (no polling of the bus);
// on Windows the HID interface paths, from a SetupDi look at each scan.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace flasher {

struct UsbId {
    uint32_t vendor = 0;
    uint32_t product = 0;
};

// "f0f0:0a01" (hex); false when it is no such pair.
bool ParseUsbId(const std::string& text, UsbId& id);

// The ids a Windows HID interface path carries
// ("\\?\hid#vid_f0f0&pid_0a01&mi_00#..."), in any case; false when it
// names none, and the device's attributes must tell.
bool UsbIdOfPath(const std::string& path, UsbId& id);

class UsbWatch {
public:
    UsbWatch();
    ~UsbWatch();
    UsbWatch(const UsbWatch&) = delete;
    UsbWatch& operator=(const UsbWatch&) = delete;

    // The devices present now, then the monitor; false with the reason.
    bool Start(const std::vector<UsbId>& ids, std::string& error);
    // Takes the events that arrived (does not wait).
    void Poll();
    std::set<std::string> Nodes() const;
    bool Has(const std::string& node) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    mutable std::mutex mutex_;
    std::set<std::string> nodes_;
};

} // namespace flasher
