// One whole flash through the host's entry point against a simulated device,
// and what must hold after it whatever happened: the caller's serial
// settings and menu timeout back, a cradle out of transparent mode and in
// its own link mode, and a second run on the same device that flashes it.
#pragma once

#include "support/FirmwareFiles.h"
#include "support/SimTool.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// The unit's areas hold what a flash of the file writes (the boot area only
// when the file has a boot image).
bool HoldsFile(const sim::FirmwareUnit& unit, const FirmwareFile& f);
void ExpectFlashed(const sim::FirmwareUnit& unit, const FirmwareFile& f, const std::string& what);

enum class Target { Nothing, Cable, Scanner };

// The host's assist callback answers with this (result, port name).
struct AssistReply {
    int32_t result = 0;
    std::wstring name;
};

// A run's world: the tool, the device, and observers of the device's trace
// through which a test acts along the way.
class FlashRun {
public:
    explicit FlashRun(const sim::DeviceConfig& config);
    FlashRun(const FlashRun&) = delete;
    FlashRun& operator=(const FlashRun&) = delete;

    // Does action once, when the device's trace first shows text.
    void When(const std::string& text, std::function<void()> action);
    // Sees every trace line of the device.
    void Watch(std::function<void(const std::string&)> observer) { observers_.push_back(std::move(observer)); }
    void StopWatching();
    // The host has an assist callback that answers `reply` (see Assist()).
    void InstallAssist();
    static AssistReply& Assist();

    const sim::FirmwareUnit& Unit(Target target);

    // The caller's settings as they were before the flash.
    void NoteCallerState();
    // Settings and menu timeout back, the cradle neither transparent nor
    // out of its link mode.
    void ExpectCallerStateBack(const std::string& what);
    // The device as the failed run left it, faults off and time to settle:
    // a second run flashes `target` with the file byte for byte.
    void ExpectSecondRunFlashes(const FirmwareFile& f, Target target, const std::string& what);

    SimTool sim;
    std::function<void()> recover;   // undoes what a scenario did to the device

private:
    // The library keeps a pointer to the host's record: it lives as long as the run.
    DllAssistSettings assist_{};
    WIN32_232_SETTINGS caller_{};
    uint64_t menuTimeout_ = 0;
    std::vector<std::function<void(const std::string&)>> observers_;
};

} // namespace testing_support
