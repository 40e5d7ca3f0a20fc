// The flash engine's own operations against the in-process simulator: a
// flash tool whose engine is prepared for a serial port the simulator
// answers, every status report recorded with its virtual instant, and the
// firmware files written where the engine loads them. USB set-ups reach the
// same simulated device, so the USB branches run as well.
#pragma once

#include "files/FirmwareBuilder.h"
#include "flash/KIRO_FlashTool.h"
#include "io/FlashIo.h"
#include "sim/InProcess.h"
#include "support/SerialRecord.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace flows {

using Bytes = std::vector<uint8_t>;

struct Report {
    uint64_t status;
    uint64_t x;
    uint64_t y;
    uint64_t at;   // virtual milliseconds
};

class EngineRig {
public:
    explicit EngineRig(const sim::DeviceConfig& config) : tool(config)
    {
        engine->transportHooks = {&Serial, &Usb, this};
        engine->statusCallback = &Record;
        engine->statusContext = this;
        WIN32_232_SETTINGS serial = testing_support::SerialRecord();
        EXPECT_EQ(engine->InitRs232V2(L"SIM0", &serial), 0);
    }

    testing_support::SimTool tool;
    KIRO_FlashTool* engine = tool.engine;
    sim::Device& device = tool.device;
    std::vector<Report> reports;
    // Runs after each report is recorded (a host that cancels, say).
    std::function<void(const Report&)> onReport;
    int usbSetups = 0;

    uint64_t Now() const { return tool.Now(); }
    bool Logged(const std::string& part) const { return tool.Logged(part); }
    size_t LogCount(const std::string& part) const
    {
        const std::string& text = tool.log->Text();
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }
    std::wstring File(const std::string& name, const Bytes& bytes) { return tool.WriteFile(name, bytes); }

    // P_INFO as the flow reads it before it flashes: 0 when applied.
    int32_t ReadDevice()
    {
        if (int32_t r = engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL))
            return r;
        int32_t r = engine->Scanner_GetPinfo("P_INFO");
        engine->CloseInterface();
        return r;
    }
    // True while the engine holds the device open.
    bool InterfaceOpen() const
    {
        FlashIoDevice* io = engine->io->io;
        return io->readBytes && io->readBytes(io, nullptr, 0, 0) == 0;
    }
    // The x of every report of this status, in order.
    std::vector<uint64_t> Positions(uint64_t status) const
    {
        std::vector<uint64_t> out;
        for (const Report& r : reports)
            if (r.status == status)
                out.push_back(r.x);
        return out;
    }
    bool Reported(uint64_t status) const { return !Positions(status).empty(); }

private:
    static int32_t Record(void* context, uint64_t status, uint64_t x, uint64_t y)
    {
        auto* rig = static_cast<EngineRig*>(context);
        rig->reports.push_back({status, x, y, rig->Now()});
        if (rig->onReport)
            rig->onReport(rig->reports.back());
        return 0;
    }
    static int32_t Serial(void* context, FlashIo* io, const wchar_t* name, const WIN32_232_SETTINGS* settings)
    {
        auto* rig = static_cast<EngineRig*>(context);
        sim::InProcessOptions options;
        options.portName = platform::WideToUtf8(name ? name : L"");
        options.line = sim::LineFromDcb(settings->dcb);
        return sim::InstallInProcess(io->io, rig->device, rig->tool.time.clock, options);
    }
    static int32_t Usb(void* context, FlashIo* io, const UsbIdentity*)
    {
        auto* rig = static_cast<EngineRig*>(context);
        ++rig->usbSetups;
        return sim::InstallInProcess(io->io, rig->device, rig->tool.time.clock);
    }
};

// An image of the firmware builder with its compat ids and a body that
// differs from image to image.
inline Bytes Image(char type, uint32_t size, std::vector<uint8_t> compat = {0x41}, const std::string& swRev = "2.0.0",
                   uint32_t objectType = 0)
{
    firmware::ImageRecipe recipe = type == 'B' ? firmware::DefaultBoot() : firmware::DefaultApp();
    if (objectType)
        recipe.objectType = objectType;
    recipe.type = type;
    recipe.size = size;
    recipe.compat = std::move(compat);
    recipe.swRev = swRev;
    recipe.pattern = size * 7 + static_cast<uint32_t>(type);
    return firmware::MakeImage(recipe);
}

inline Bytes Container(std::vector<Bytes> images, std::vector<uint32_t> tableIds = {0x41})
{
    firmware::ContainerRecipe recipe;
    recipe.tableIds = std::move(tableIds);
    recipe.images = std::move(images);
    return firmware::MakeContainer(recipe);
}

// What the bootloader keeps of a boot image: everything after its header.
inline Bytes BootBody(const Bytes& image)
{
    return Bytes(image.begin() + firmware::kImageHeaderSize, image.end());
}

} // namespace flows
