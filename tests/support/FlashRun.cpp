#include "support/FlashRun.h"

#include "io/FlashIo.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace testing_support {

bool HoldsFile(const sim::FirmwareUnit& unit, const FirmwareFile& f)
{
    return (f.boot.empty() || unit.BootArea().data == f.BootArea()) && unit.ApplicationArea().data == f.app;
}

void ExpectFlashed(const sim::FirmwareUnit& unit, const FirmwareFile& f, const std::string& what)
{
    if (!f.boot.empty()) {
        EXPECT_EQ(unit.BootArea().data, f.BootArea()) << what << ": boot area";
    }
    EXPECT_EQ(unit.ApplicationArea().data, f.app) << what << ": application area";
}

namespace {

int32_t OnAssist(void*, uint32_t, wchar_t* buffer, uint32_t capacity)
{
    const AssistReply& reply = FlashRun::Assist();
    wcsncpy(buffer, reply.name.c_str(), capacity);
    return reply.result;
}

} // namespace

FlashRun::FlashRun(const sim::DeviceConfig& config) : sim(config)
{
    Assist() = {};
    sim.device.SetTrace([this](const std::string& line) {
        if (std::getenv("TAMBRIX_SIM_TRACE"))
            std::fprintf(stderr, "%s\n", line.c_str());
        // An observer may add another.
        for (size_t i = 0; i < observers_.size(); ++i)
            observers_[i](line);
    });
}

void FlashRun::When(const std::string& text, std::function<void()> action)
{
    auto fired = std::make_shared<bool>(false);
    Watch([text, action = std::move(action), fired](const std::string& line) {
        if (!*fired && line.find(text) != std::string::npos) {
            *fired = true;
            action();
        }
    });
}

void FlashRun::StopWatching()
{
    observers_.clear();
}

AssistReply& FlashRun::Assist()
{
    static AssistReply reply;
    return reply;
}

void FlashRun::InstallAssist()
{
    assist_ = DllAssistSettings{&OnAssist, nullptr, 1};
    sim.Set(CFS_DLLASSIST_SETTINGS, &assist_, sizeof assist_);
}

const sim::FirmwareUnit& FlashRun::Unit(Target target)
{
    if (target == Target::Scanner)
        return *sim.device.TheScanner();
    return sim.device.Cable();
}

void FlashRun::NoteCallerState()
{
    caller_ = sim.context->serialSettings;
    menuTimeout_ = sim.engine->io->menuCommandTimeoutMs;
}

void FlashRun::ExpectCallerStateBack(const std::string& what)
{
    EXPECT_EQ(sim.engine->io->menuCommandTimeoutMs, menuTimeout_) << what << ": menu timeout";
    EXPECT_EQ(memcmp(&sim.context->serialSettings, &caller_, sizeof caller_), 0) << what << ": the caller's record";
    // Over USB the engine keeps no serial record of its own.
    if (sim.context->interfaceType != INTERFACE_USB_HID) {
        EXPECT_EQ(memcmp(&sim.engine->rs232_settings, &caller_, sizeof caller_), 0) << what << ": serial settings";
    }
    if (const sim::Cradle* cradle = sim.device.TheCradle()) {
        EXPECT_FALSE(cradle->Transparent()) << what << ": cradle still transparent";
        EXPECT_EQ(cradle->ServerMode(), sim.device.Config().serverMode) << what << ": cradle link mode";
    }
}

void FlashRun::ExpectSecondRunFlashes(const FirmwareFile& f, Target target, const std::string& what)
{
    sim.device.Env().faults = sim::Faults{};
    StopWatching();
    if (recover)
        recover();
    sim.time.clock.Advance(120000);
    sim.Set(CFS_FWCALLBACK, nullptr, 8);
    sim.SetU64(CFS_PELLARO_RETRY_MAX, 3);
    // The host now knows where the device is, and says so when asked.
    std::wstring port = platform::Utf8ToWide(sim.device.PortName());
    sim.SetPort(port);
    Assist() = {0, port};
    sim.log->Clear();
    std::wstring second = sim.WriteFile("second.mocf", f.file);
    uint32_t code = sim.Flash(second);
    EXPECT_TRUE(code == FLASH_RESULT_OK || code == FLASH_RESULT_OK_FROM_BOOT)
        << what << ": second run " << code << "\n" << sim.log->Text();
    if (target != Target::Nothing)
        ExpectFlashed(Unit(target), f, what + ", second run");
}

} // namespace testing_support
