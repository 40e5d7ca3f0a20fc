// A flash tool as a host creates it, whose engine reaches a simulated device
// in process on the virtual clock: the transport hooks put the simulator
// where the serial set-up would open a port.
#pragma once

#include "api/ToolContext.h"
#include "flash/KIRO_FlashTool.h"
#include "platform/VirtualClock.h"
#include "sim/Device.h"
#include "sim/UsbLink.h"
#include "support/TestSupport.h"
#include "tambrix01/FlashTool.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// Set-ups that install the in-process simulator: serial with the host's
// framing under the name the engine opens, USB for any identity.
class SimTransport {
public:
    SimTransport(sim::Device& device, platform::VirtualClock& clock) : device_(device), clock_(clock), usb(device, clock)
    {
    }
    TransportHooks Hooks() { return {&Serial, &Usb, this}; }
    int installs = 0;         // set-ups asked for
    std::wstring lastName;    // the name of the last one
    UsbIdentity lastUsb{};    // the identity of the last USB set-up (its path not kept)
    bool hostWireTime = false;   // see sim::InProcessOptions
    // USB set-ups install the library's own USB transport over the link's
    // reports; otherwise the device's bytes as a byte pipe, for any identity.
    bool usbReports = false;

private:
    static int32_t Serial(void* context, FlashIo* io, const wchar_t* deviceName, const WIN32_232_SETTINGS* settings);
    static int32_t Usb(void* context, FlashIo* io, const UsbIdentity* identity);
    sim::Device& device_;
    platform::VirtualClock& clock_;

public:
    sim::UsbLink usb;
};

class SimTool {
public:
    explicit SimTool(const sim::DeviceConfig& config);
    ~SimTool();
    SimTool(const SimTool&) = delete;
    SimTool& operator=(const SimTool&) = delete;

    platform::ScopedVirtualClock time;
    sim::Device device;
    CFlashTool* tool;
    ToolContext* context;
    KIRO_FlashTool* engine;
    std::unique_ptr<CapturedLog> log;
    SimTransport transport;
    TempDir dir;

    uint64_t Now() const { return time.clock.Now(); }
    bool Logged(const std::string& part) const { return log->Contains(part); }
    uint32_t Set(int32_t id, void* value, uint64_t size) { return tool->SetSetting(id, value, size); }
    uint32_t SetU64(int32_t id, uint64_t value) { return Set(id, &value, sizeof value); }
    // The host's serial settings (115200 baud, the given framing).
    void SetSerial(uint8_t byteSize, uint8_t parity, uint8_t stopBits);
    void SetPort(const std::wstring& name);
    // Writes the file into the test's directory and returns its wide path.
    std::wstring WriteFile(const std::string& name, const std::vector<uint8_t>& bytes);
    uint32_t Flash(const std::wstring& file) { return tool->FlashScanner(0, file.c_str()); }
    uint32_t Version(const std::wstring& file, FileVersionInfo* out) { return tool->GetFileVersion(file.c_str(), out); }
};

} // namespace testing_support
