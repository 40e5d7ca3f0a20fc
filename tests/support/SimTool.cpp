#include "support/SimTool.h"

#include "io/FlashIo.h"
#include "platform/Platform.h"
#include "sim/InProcess.h"
#include "support/SerialRecord.h"

#include <cstdio>
#include <cstdlib>

namespace testing_support {

int32_t SimTransport::Serial(void* context, FlashIo* io, const wchar_t* deviceName, const WIN32_232_SETTINGS* settings)
{
    auto* self = static_cast<SimTransport*>(context);
    ++self->installs;
    self->lastName = deviceName ? deviceName : L"";
    sim::InProcessOptions options;
    options.portName = platform::WideToUtf8(self->lastName.c_str());
    options.line = sim::LineFromDcb(settings->dcb);
    options.hostWireTime = self->hostWireTime;
    return sim::InstallInProcess(io->io, self->device_, self->clock_, options);
}

int32_t SimTransport::Usb(void* context, FlashIo* io, const UsbIdentity* identity)
{
    auto* self = static_cast<SimTransport*>(context);
    ++self->installs;
    self->lastUsb = *identity;
    self->lastName = identity->devicePath ? identity->devicePath : L"";
    self->lastUsb.devicePath = nullptr;
    if (self->usbReports)
        return self->usb.Setup(io->io, identity);
    int32_t result = sim::InstallInProcess(io->io, self->device_, self->clock_);
    // A replaying device gives the recorded search's result.
    return result == 0 || self->device_.TheReplay() ? result : -1;
}

SimTool::SimTool(const sim::DeviceConfig& config)
    : device(config), tool(CreateFlashTool()), context(tool->context), engine(context->engine),
      log(std::make_unique<CapturedLog>(context->log)), transport(device, time.clock)
{
    // TAMBRIX_SIM_TRACE=1 shows what the device does while a test runs.
    if (std::getenv("TAMBRIX_SIM_TRACE"))
        device.SetTrace([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    engine->transportHooks = transport.Hooks();
    SetU64(CFS_INTERFACE, INTERFACE_RS232);
    SetPort(platform::Utf8ToWide(config.portName));
    SetSerial(8, NOPARITY, ONESTOPBIT);
}

SimTool::~SimTool()
{
    // TAMBRIX_FLOW_LOG=1 prints the library's log of a test.
    if (std::getenv("TAMBRIX_FLOW_LOG"))
        std::fprintf(stderr, "%s", log->Text().c_str());
    log.reset();
    DestroyFlashTool(tool);
}

void SimTool::SetSerial(uint8_t byteSize, uint8_t parity, uint8_t stopBits)
{
    WIN32_232_SETTINGS serial = testing_support::SerialRecord(byteSize, parity, stopBits);
    Set(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
}

void SimTool::SetPort(const std::wstring& name)
{
    Set(CFS_PORTNAME, const_cast<wchar_t*>(name.c_str()), name.size());
}

std::wstring SimTool::WriteFile(const std::string& name, const std::vector<uint8_t>& bytes)
{
    dir.Write(name, std::string(bytes.begin(), bytes.end()));
    return dir.WideFile(name);
}

} // namespace testing_support
