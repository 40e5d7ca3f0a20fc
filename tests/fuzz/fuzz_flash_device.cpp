// A hostile device: the whole FlashScanner or GetFileVersion of a tool, as a
// host calls it, against a device whose every answer comes from the input
// (the script of HostileDevice.h), on the virtual clock. Whatever it says,
// the call must come back with one of its documented codes, without a
// crash, a hang or a byte read or written out of bounds.
#include "FuzzLog.h"
#include "HostileDevice.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

bool KnownFlashResult(uint32_t result)
{
    // A negative result is the failed reopen's own code.
    return result <= FLASH_RESULT_NO_SCANNER || result == FLASH_RESULT_NO_PORT_NAME || int32_t(result) < 0;
}

bool Terminated(const char* text, size_t size) { return memchr(text, 0, size) != nullptr; }

} // namespace

using fuzz_support::Check;
using fuzz_support::FormatAndDrop;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static hostile::FirmwareFiles files;
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    // A fresh clock each run: every run starts at the same instant.
    platform::ScopedVirtualClock time;
    hostile::ScriptPlayer player(data + 1, size - 1, time.clock, hostile::InterfaceOf(mode) == INTERFACE_USB_HID);

    CFlashTool* tool = CreateFlashTool();
    Check(tool != nullptr);
    Log* log = tool->context->log;
    log->flags = 0xFFFFFFFF;
    log->output = FormatAndDrop;
    tool->context->engine->transportHooks = player.Hooks();
    hostile::Configure(tool, mode);

    FileVersionInfo info;
    uint32_t result = hostile::RunOperation(tool, mode, files, &info);
    if (hostile::AsksVersion(mode)) {
        Check(result <= VERSION_RESULT_NO_MATCH);
        Check(Terminated(info.appVersion, sizeof info.appVersion));
        Check(Terminated(info.bootVersion, sizeof info.bootVersion));
    } else {
        Check(KnownFlashResult(result));
    }
    DestroyFlashTool(tool);
    return 0;
}
